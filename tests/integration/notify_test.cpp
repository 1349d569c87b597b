// Notifications without a network: the outbox across restarts and when full, what each entry
// hears and when, and the configuration's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <thread>

#include "host/config.h"
#include "host/notify/notifier.h"
#include "simulator/temporary_directory.h"

namespace {

using namespace std::chrono_literals;
using corvale::host::EventKind;
using corvale::host::UpsEvent;
using corvale::host::notify::Notice;
using corvale::host::notify::Outbox;

Notice Make(const std::string& entry, const std::string& event, int priority) {
  return {corvale::host::notify::NewNoticeId(), entry, event,   "ups", 2, "m",
          std::chrono::system_clock::now(),     0,     priority};
}

// A drill tells nobody unless asked for by name: one asked for again and again must not become a
// stream of notices.
TEST(NoticeEventsTest, ByDefaultWhatPeopleActOnAndNoDrill) {
  const auto& events = corvale::host::notify::DefaultNoticeEvents();
  EXPECT_EQ(std::count(events.begin(), events.end(), "drill"), 0);
  for (const char* wanted : {"on-battery", "low-battery", "shutdown", "kill-power"}) {
    EXPECT_EQ(std::count(events.begin(), events.end(), wanted), 1) << wanted;
  }
}

TEST(OutboxTest, WhatIsDueOutlivesARestartATornLineAndAFullOutboxDropsTheLeastUrgentFirst) {
  corvale::TemporaryDirectory folder;
  const std::string path = (folder.Path() / "outbox.jsonl").string();
  std::string error;
  std::vector<std::string> ids;
  {
    Outbox outbox(path, 3);
    for (const auto& [event, priority] :
         {std::pair{"on-battery", 4}, std::pair{"drill", 3}, std::pair{"shutdown", 5}}) {
      auto notice = Make("hook", event, priority);
      ids.push_back(notice.id);
      ASSERT_TRUE(outbox.Add(notice, &error)) << error;
    }
    outbox.Delivered(ids[0]);
    // Full: the drill (least urgent) makes room for the kill-power notice.
    ASSERT_TRUE(outbox.Add(Make("hook", "low-battery", 5), &error));
    ASSERT_TRUE(outbox.Add(Make("hook", "kill-power", 5), &error));
    EXPECT_EQ(outbox.DroppedCount("hook"), 1u);
    EXPECT_EQ(outbox.Queued("hook"), 3u);
  }
  std::ofstream(path, std::ios::app) << "{\"id\":\"torn";  // a power cut mid-line
  {
    Outbox torn(path, 4);  // the next notice starts a line of its own
    ASSERT_TRUE(torn.Add(Make("mail", "online", 3), &error)) << error;
  }
  Outbox again(path, 4);
  EXPECT_TRUE(again.Next("mail"));
  again.DropAllBut({"hook"});
  std::vector<std::string> events;
  for (const auto& notice : again.Pending()) events.push_back(notice.event);
  EXPECT_EQ(events, (std::vector<std::string>{"shutdown", "low-battery", "kill-power"}));
  EXPECT_EQ(again.Next("hook")->id, ids[2]);
  EXPECT_FALSE(again.Next("mail"));
}

class NotifierTest : public ::testing::Test {
 protected:
  void Make(const corvale::host::Config::Notify& entry,
            std::chrono::milliseconds minute = std::chrono::minutes(1),
            std::optional<std::chrono::system_clock::time_point> onBatteryBefore = {}) {
    corvale::host::notify::NotifierOptions options;
    options.minute = minute;
    options.onBatteryBefore = onBatteryBefore;
    options.firstRetry = 10ms;
    options.longestRetry = 20ms;
    options.send = [this](const auto&, const auto&, const Notice& notice, const auto& extras) {
      std::lock_guard lock(mutex);
      if (failing) return corvale::host::notify::Delivery{false, "refused"};
      sent.push_back(notice.event);
      late += extras.late;
      return corvale::host::notify::Delivery{true, ""};
    };
    notifier = std::make_unique<corvale::host::notify::Notifier>(std::vector{entry}, "ups", options,
                                                                 log, nullptr);
  }
  void Raise(EventKind kind) {
    notifier->OnEvent(UpsEvent{kind, 2, "m"}, std::chrono::system_clock::now());
  }
  std::vector<std::string> Sent(std::size_t atLeast, std::chrono::milliseconds within = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard lock(mutex);
        if (sent.size() >= atLeast) break;
      }
      std::this_thread::sleep_for(10ms);
    }
    std::lock_guard lock(mutex);
    return sent;
  }
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log{false, sink};
  std::mutex mutex;
  std::vector<std::string> sent;
  std::string late;  // what any notice said of being late
  bool failing = false;
  std::unique_ptr<corvale::host::notify::Notifier> notifier;
};

TEST_F(NotifierTest, AHeldNoticeGoesOnlyIfTheFailureLastsAndShutdownsAreNeverHeld) {
  corvale::host::Config::Notify entry;
  entry.name = "hook";
  entry.afterSeconds = 1;
  entry.blip = true;
  Make(entry);
  Raise(EventKind::kOnline);  // a start: no news
  Raise(EventKind::kOnBattery);
  Raise(EventKind::kOnline);  // a blip
  EXPECT_EQ(Sent(1), std::vector<std::string>{"blip"});
  Raise(EventKind::kOnBattery);
  Raise(EventKind::kShutdown);  // at once, held or not
  EXPECT_EQ(Sent(2), (std::vector<std::string>{"blip", "shutdown"}));
  EXPECT_EQ(Sent(3), (std::vector<std::string>{"blip", "shutdown", "on-battery"}))
      << "after a second on battery";
  Raise(EventKind::kOnline);
  EXPECT_EQ(Sent(4).back(), "online");
  EXPECT_EQ(late, "") << "held back on purpose is not late";
}

TEST_F(NotifierTest, AFailureTheRunBeforeToldOfIsNotToldAgainButItsEndIs) {
  corvale::host::Config::Notify entry;
  entry.name = "hook";
  entry.events = {"online", "low-battery"};  // its on-battery not wanted: the end still is
  Make(entry, std::chrono::minutes(1), std::chrono::system_clock::now() - 5min);
  Raise(EventKind::kOnBattery);  // the start's first poll, into the same failure
  Raise(EventKind::kOnline);
  Raise(EventKind::kOnBattery);
  Raise(EventKind::kOnline);
  EXPECT_EQ(Sent(2), (std::vector<std::string>{"online", "online"}));
}

TEST_F(NotifierTest, RemindersComeWhileTheFailureLastsAndStopWithIt) {
  corvale::host::Config::Notify entry;
  entry.name = "hook";
  entry.remindMinutes = 2;
  Make(entry, 100ms);  // a "minute" of 100 ms
  Raise(EventKind::kOnBattery);
  EXPECT_EQ(Sent(3), (std::vector<std::string>{"on-battery", "reminder", "reminder"}));
  Raise(EventKind::kOnline);
  std::this_thread::sleep_for(500ms);
  const auto got = Sent(4);
  EXPECT_EQ(got.back(), "online");
  EXPECT_LE(got.size(), 5u) << "none after the power came back";
}

TEST_F(NotifierTest, FailedTriesAreRetriedInOrderAndCountedAndOnlyAskedEventsGo) {
  corvale::host::Config::Notify entry;
  entry.name = "hook";
  entry.events = {"low-battery", "kill-power"};
  Make(entry);
  {
    std::lock_guard lock(mutex);
    failing = true;
  }
  Raise(EventKind::kOnBattery);
  Raise(EventKind::kLowBattery);
  Raise(EventKind::kKillPower);
  std::this_thread::sleep_for(200ms);
  const auto facts = notifier->Facts();
  ASSERT_EQ(facts.size(), 1u);
  EXPECT_EQ(facts[0].queued, 2u);
  EXPECT_GT(facts[0].failed, 2u);
  EXPECT_EQ(facts[0].problem, "refused");
  {
    std::lock_guard lock(mutex);
    failing = false;
  }
  EXPECT_EQ(Sent(2), (std::vector<std::string>{"low-battery", "kill-power"}));
  EXPECT_EQ(notifier->Facts()[0].queued, 0u);
}

TEST(NotifyConfigTest, SecretsInClearAndIncompleteEntriesAreRefusedWithTheirLine) {
  const struct {
    const char* name;
    const char* text;
    const char* says;  // empty: fine
  } cases[] = {
      {"a webhook", "url = \"https://h/x\"\nkind = \"webhook\"\ntoken = \"t\"\n", ""},
      {"a token in clear", "url = \"http://h/x\"\nkind = \"webhook\"\ntoken = \"t\"\n",
       "travels in clear"},
      {"allowed in clear",
       "url = \"http://h/x\"\nkind = \"ntfy\"\ntoken = \"t\"\ninsecure = true\n", ""},
      {"mail without to", "url = \"smtp://h:587\"\nkind = \"smtp\"\nfrom = \"a@b\"\n",
       "needs from and to"},
      {"mail to a web address",
       "url = \"https://h\"\nkind = \"smtp\"\nfrom = \"a@b\"\nto = [\"c@d\"]\n", "smtp://"},
      {"no kind", "url = \"https://h\"\n", "kind is"},
      {"a password in the url", "url = \"https://u:p@h/x\"\nkind = \"ntfy\"\n", "in the url"},
      {"a login on ntfy", "url = \"https://h/x\"\nkind = \"ntfy\"\nuser = \"u\"\n", "are for mail"},
      {"a recipient that could add a command",
       "url = \"smtp://h:587\"\nkind = \"smtp\"\nfrom = \"a@b\"\nto = [\"c@d>\\r\\nRCPT "
       "TO:<e@f\"]\n",
       "not a mail address"},
      {"an unknown event on its line",
       "url = \"https://h\"\nkind = \"ntfy\"\n\n\nevents = [\"x\"]\n", "\"x\""},
  };
  for (const auto& c : cases) {
    const auto loaded =
        corvale::host::ParseConfig(std::string("[ups]\nport = \"COM1\"\n[[notify]]\n"
                                               "name = \"n\"\n") +
                                   c.text);
    if (c.says[0] == '\0') {
      EXPECT_TRUE(loaded.problems.empty()) << c.name << ": " << loaded.problems.front().message;
      EXPECT_TRUE(corvale::host::HoldsSecrets(loaded.config)) << c.name;
      continue;
    }
    ASSERT_FALSE(loaded.problems.empty()) << c.name;
    EXPECT_EQ(loaded.problems.front().line, c.says[0] == '"' ? 9 : 3) << c.name;
    EXPECT_NE(loaded.problems.front().message.find(c.says), std::string::npos)
        << c.name << ": " << loaded.problems.front().message;
  }
}

}  // namespace
