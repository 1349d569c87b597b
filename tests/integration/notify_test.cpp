// Notifications without a network: the outbox across restarts and when full, what each entry
// hears and when, and the configuration's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/config.h"
#include "host/notify/notifier.h"
#include "host/start_checks.h"
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

TEST(OutboxTest, ALongOutageKeepsTheFileToTheCapacityAndTheNumbersGoOnAcrossRestarts) {
  corvale::TemporaryDirectory folder;
  const std::string path = (folder.Path() / "outbox.jsonl").string();
  std::string error;
  constexpr std::size_t kCapacity = 10;
  {
    // A flapping line while the receiver is down: notice after notice, none delivered.
    Outbox outbox(path, kCapacity);
    for (int i = 0; i < 1500; ++i) ASSERT_TRUE(outbox.Add(Make("hook", "drill", 3), &error));
    ASSERT_TRUE(outbox.Add(Make("mail", "online", 3), &error));
    EXPECT_EQ(outbox.Pending().size(), kCapacity);
    EXPECT_EQ(outbox.Pending().back().sequence, 1u) << "numbered per entry";
    EXPECT_EQ(outbox.Pending().front().sequence, 1492u);
    // Twice what is due and the slack, at most: the bound follows the capacity, not the outage.
    EXPECT_LT(std::filesystem::file_size(path), 2 * kCapacity * 400 + 64 * 1024 + 800)
        << "the outbox grew with the outage";
    for (const auto& notice : outbox.Pending()) outbox.Delivered(notice.id);
  }
  // Everything delivered and the file compacted at the start: the numbers still go on.
  Outbox again(path, kCapacity);
  EXPECT_TRUE(again.Pending().empty());
  ASSERT_TRUE(again.Add(Make("hook", "drill", 3), &error));
  ASSERT_TRUE(again.Add(Make("mail", "online", 3), &error));
  EXPECT_EQ(again.Pending().front().sequence, 1501u);
  EXPECT_EQ(again.Pending().back().sequence, 2u);
}

class NotifierTest : public ::testing::Test {
 protected:
  void Make(const corvale::host::Config::Notify& entry,
            std::chrono::milliseconds minute = std::chrono::minutes(1),
            std::optional<std::chrono::system_clock::time_point> onBatteryBefore = {}) {
    corvale::host::notify::NotifierOptions options;
    options.minute = minute;
    if (onBatteryBefore) options.onBatteryBefore[""] = *onBatteryBefore;
    options.firstRetry = 10ms;
    options.longestRetry = 20ms;
    options.refusedRetry = 300ms;
    options.send = [this](const auto&, const auto&, const Notice& notice, const auto& extras) {
      std::unique_lock lock(mutex);
      atGate = true;
      gateOpened.wait(lock, [this] { return !gated; });
      tries.push_back({notice.event, std::chrono::steady_clock::now()});
      if (failing) return corvale::host::notify::Delivery{false, "refused"};
      if (answer) {
        if (auto refused = answer(notice)) return *refused;
      }
      sent.push_back(notice.event);
      sequences.push_back(notice.sequence);
      late += extras.late;
      return corvale::host::notify::Delivery{true, ""};
    };
    notifier = std::make_unique<corvale::host::notify::Notifier>(std::vector{entry}, "ups", options,
                                                                 log, nullptr);
  }
  void Raise(EventKind kind) {
    notifier->OnEvent(UpsEvent{kind, 2, "m"}, std::chrono::system_clock::now());
  }
  // An event of the UPS `ups`, as a machine with several raises it.
  void RaiseOf(const std::string& ups, EventKind kind) {
    notifier->OnEvent(UpsEvent{kind, 2, "m", ups}, std::chrono::system_clock::now());
  }
  // Each notice delivered as "event ups: message", recorded as the receiver takes it.
  void Heard() {
    std::lock_guard lock(mutex);
    answer = [this](const Notice& notice) -> std::optional<corvale::host::notify::Delivery> {
      heard.push_back(notice.event + " " + notice.ups + ": " + notice.message);
      return std::nullopt;
    };
  }
  std::vector<std::string> heard;  // under `mutex`
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
  // What the receiver says to a notice instead of taking it; nothing: taken.
  std::function<std::optional<corvale::host::notify::Delivery>(const Notice&)> answer;
  std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> tries;
  std::vector<std::uint64_t> sequences;
  // While gated, a try waits at the gate (once it is there, atGate) until it opens.
  bool gated = false, atGate = false;
  std::condition_variable gateOpened;
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

TEST_F(NotifierTest, AHeldNoticeGoesWhenItsTimeIsUpNotAtTheNotifiersNextRound) {
  corvale::host::Config::Notify entry;
  entry.name = "hook";
  entry.afterSeconds = 1;
  Make(entry);  // a minute of a minute: its round comes once a minute
  Raise(EventKind::kOnBattery);
  EXPECT_EQ(Sent(1, 2500ms), std::vector<std::string>{"on-battery"});
}

TEST_F(NotifierTest, ARefusedNoticeNeverHoldsBackTheOthersAndTheMostUrgentGoFirst) {
  corvale::host::Config::Notify entry;
  entry.name = "hook";
  Make(entry);
  {
    std::lock_guard lock(mutex);
    gated = true;
    // It takes all but the on-battery notice, which it refuses each time (a 4xx).
    answer = [](const Notice& notice) -> std::optional<corvale::host::notify::Delivery> {
      if (notice.event != "on-battery") return std::nullopt;
      return corvale::host::notify::Delivery{false, "HTTP 422: no such template", true};
    };
  }
  Raise(EventKind::kOnBattery);
  for (int i = 0; i < 300; ++i) {
    std::this_thread::sleep_for(10ms);
    std::lock_guard lock(mutex);
    if (atGate) break;
  }
  // While its first try is under way, the outage goes on.
  Raise(EventKind::kOnline);
  Raise(EventKind::kOnBattery);
  Raise(EventKind::kLowBattery);
  Raise(EventKind::kShutdown);
  std::this_thread::sleep_for(100ms);
  {
    std::lock_guard lock(mutex);
    gated = false;
  }
  gateOpened.notify_all();
  EXPECT_EQ(Sent(3), (std::vector<std::string>{"low-battery", "shutdown", "online"}))
      << "the most urgent first, the refused ones out of the way";
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (notifier->Facts()[0].refused < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  const auto facts = notifier->Facts()[0];
  EXPECT_EQ(facts.refused, 2u);
  EXPECT_EQ(facts.queued, 0u) << "given up, not tried for a day";
  std::lock_guard lock(mutex);
  std::vector<std::chrono::steady_clock::time_point> refused;
  for (const auto& [event, when] : tries) {
    if (event == "on-battery") refused.push_back(when);
  }
  ASSERT_EQ(refused.size(), 6u) << "each tried three times, then given up";
  EXPECT_GE(refused.back() - refused.front(), 590ms) << "each refusal waits its period";
  EXPECT_EQ(sequences, (std::vector<std::uint64_t>{4, 5, 2})) << "numbered as they happened";
  EXPECT_EQ(sent.size(), 3u);
}

TEST_F(NotifierTest, AReceiverThatAsksForTimeGetsItAndABusyNoticeGoesBehindTheOthers) {
  corvale::host::Config::Notify entry;
  entry.name = "hook";
  Make(entry);
  {
    std::lock_guard lock(mutex);
    // Too many requests: the first try of the shutdown notice is answered 429, Retry-After 1 s.
    answer = [asked = false](
                 const Notice& notice) mutable -> std::optional<corvale::host::notify::Delivery> {
      if (notice.event != "shutdown" || std::exchange(asked, true)) return std::nullopt;
      return corvale::host::notify::Delivery{false, "HTTP 429", false, 1s};
    };
  }
  Raise(EventKind::kShutdown);
  Raise(EventKind::kKillPower);
  EXPECT_EQ(Sent(2, 5s), (std::vector<std::string>{"kill-power", "shutdown"}));
  std::lock_guard lock(mutex);
  ASSERT_GE(tries.size(), 2u);
  EXPECT_GE(tries[1].second - tries[0].second, 950ms) << "the receiver asked for a second";
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

TEST_F(NotifierTest, AMarginLostOrBackIsToldByDefaultAndNamesTheUpsItIsAbout) {
  corvale::host::Config::Notify entry;
  entry.name = "ops";
  Make(entry);
  std::vector<std::string> upses;
  answer = [&](const Notice& notice) -> std::optional<corvale::host::notify::Delivery> {
    upses.push_back(notice.event + " " + notice.ups);
    return std::nullopt;
  };
  const auto now = std::chrono::system_clock::now();
  notifier->OnEvent(UpsEvent{EventKind::kSuppliesLow, 2, "m", "rack@ups-a"}, now);
  notifier->OnEvent(UpsEvent{EventKind::kSuppliesOk, 1, "m", "rack@ups-b"}, now);
  Raise(EventKind::kLowBattery);  // the machine's own: the notifier's name
  auto told = Sent(3);
  std::sort(told.begin(), told.end());  // the first may go before the others are raised
  EXPECT_EQ(told, (std::vector<std::string>{"low-battery", "supplies-low", "supplies-ok"}));
  std::lock_guard lock(mutex);
  std::sort(upses.begin(), upses.end());
  EXPECT_EQ(upses, (std::vector<std::string>{"low-battery ups", "supplies-low rack@ups-a",
                                             "supplies-ok rack@ups-b"}));
}

// Two UPSes, each its own failure: one's return neither ends nor cancels the other's.
TEST_F(NotifierTest, EachUpsHasItsOwnHeldNoticeAndOnesBlipNeverCancelsTheOthersFailure) {
  corvale::host::Config::Notify entry;
  entry.name = "hook";
  entry.afterSeconds = 1;
  entry.blip = true;
  Make(entry);
  Heard();
  RaiseOf("a", EventKind::kOnBattery);
  RaiseOf("b", EventKind::kOnBattery);
  RaiseOf("a", EventKind::kOnline);  // a blip of a, while b's failure goes on
  EXPECT_EQ(Sent(2, 2500ms), (std::vector<std::string>{"blip", "on-battery"}));
  RaiseOf("b", EventKind::kOnline);
  EXPECT_EQ(Sent(3).size(), 3u);
  std::lock_guard lock(mutex);
  ASSERT_EQ(heard.size(), 3u);
  EXPECT_EQ(heard[0].substr(0, 7), "blip a:") << heard[0];
  EXPECT_NE(heard[0].find("; still on battery: b"), std::string::npos) << heard[0];
  EXPECT_EQ(heard[1], "on-battery b: m") << "b's held notice, not a's";
  EXPECT_EQ(heard[2], "online b: m") << "b's end is news, and nothing else is on battery";
}

TEST_F(NotifierTest, APowerBackOfOneUpsSaysAnotherStillRunsOnBatteryAndItsRemindersGoOn) {
  corvale::host::Config::Notify entry;
  entry.name = "hook";
  entry.remindMinutes = 3;
  Make(entry, 100ms);  // a reminder every 300 ms
  Heard();
  RaiseOf("a", EventKind::kOnBattery);
  RaiseOf("b", EventKind::kOnBattery);
  ASSERT_EQ(Sent(2).size(), 2u);
  RaiseOf("a", EventKind::kOnline);
  // b's reminders go on after a's return, each naming b.
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  for (;;) {
    {
      std::lock_guard lock(mutex);
      const auto after = std::find_if(heard.begin(), heard.end(), [](const std::string& line) {
        return line.starts_with("online a");
      });
      if (after != heard.end() && std::count_if(after, heard.end(), [](const std::string& line) {
                                    return line.starts_with("reminder b");
                                  }) >= 2) {
        break;
      }
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no reminder of b after a's return";
    std::this_thread::sleep_for(20ms);
  }
  RaiseOf("b", EventKind::kOnline);
  std::this_thread::sleep_for(500ms);
  std::lock_guard lock(mutex);
  EXPECT_EQ(heard.back(), "online b: m") << "the last UPS back: the power is back";
  EXPECT_NE(std::find(heard.begin(), heard.end(), "online a: m; still on battery: b"), heard.end());
  for (const auto& line : heard) {
    if (!line.starts_with("reminder")) continue;
    EXPECT_TRUE(line.starts_with("reminder a: ") || line.starts_with("reminder b: ")) << line;
    EXPECT_NE(line.find("still on battery, for"), std::string::npos) << line;
  }
}

TEST_F(NotifierTest, AFailureTheRunBeforeToldOfIsThatUpssAloneAndAnotherUpsFailureIsNews) {
  corvale::host::Config::Notify entry;
  entry.name = "hook";
  corvale::host::notify::NotifierOptions options;
  options.onBatteryBefore = {{"a", std::chrono::system_clock::now() - 5min}};
  options.send = [this](const auto&, const auto&, const Notice& notice, const auto&) {
    std::lock_guard lock(mutex);
    heard.push_back(notice.event + " " + notice.ups);
    sent.push_back(notice.event);
    return corvale::host::notify::Delivery{true, ""};
  };
  notifier = std::make_unique<corvale::host::notify::Notifier>(std::vector{entry}, "a", options,
                                                               log, nullptr);
  RaiseOf("b", EventKind::kOnBattery);  // b's own failure: news, though a's was told before
  RaiseOf("a", EventKind::kOnBattery);  // the start's first poll of a, in the failure told of
  RaiseOf("b", EventKind::kOnline);
  RaiseOf("a", EventKind::kOnline);
  Sent(3);
  std::this_thread::sleep_for(200ms);
  std::lock_guard lock(mutex);
  EXPECT_EQ(heard, (std::vector<std::string>{"on-battery b", "online b", "online a"}));
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
      // A URL that is itself the key: a secret like a token, in the file and on the wire.
      {"a topic nobody guesses", "url = \"https://ntfy.example/rack1-a7f3c9\"\nkind = \"ntfy\"\n",
       ""},
      {"a hook's key in its path",
       "url = \"https://chat.example/hooks/T0/B0/XyZ\"\nkind = "
       "\"webhook\"\nformat = \"text\"\n",
       ""},
      {"a key in the query, in clear", "url = \"http://h/x?key=abc\"\nkind = \"webhook\"\n",
       "travels in clear"},
      {"a bad url keeps its key to itself",
       "url = \"https://h/hooks/k3y-42 \"\nkind = \"webhook\"\n", "https://h/..."},
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
    EXPECT_EQ(loaded.problems.front().message.find("k3y-42"), std::string::npos) << c.name;
    EXPECT_EQ(loaded.problems.front().line, c.says[0] == '"' ? 9 : 3) << c.name;
    EXPECT_NE(loaded.problems.front().message.find(c.says), std::string::npos)
        << c.name << ": " << loaded.problems.front().message;
  }
}

TEST(NotifyConfigTest, SecretFilesAreHeldToTheConfigurationsRuleAndAMailLoginNeedsTls) {
  corvale::TemporaryDirectory folder;
  const auto token = folder.Path() / "token";
  const auto password = folder.Path() / "password";
  std::ofstream(token) << "tok\n";
  std::ofstream(password) << "pw\n";
  std::filesystem::permissions(token, std::filesystem::perms(0644));
  std::filesystem::permissions(password, std::filesystem::perms(0600));
  const auto config = folder.Path() / "corvale-ups.toml";
  std::ofstream(config) << "[ups]\nport = \"ttyS0\"\n";
  std::filesystem::permissions(config, std::filesystem::perms(0600));
  const auto loaded = corvale::host::ParseConfig(
      "[ups]\nport = \"ttyS0\"\n[[notify]]\nname = \"chat\"\nkind = \"webhook\"\nurl = "
      "\"https://h/x\"\ntoken_file = \"" +
      token.string() +
      "\"\n[[notify]]\nname = \"mail\"\nkind = \"smtp\"\nurl = \"smtp://h:587\"\nuser = "
      "\"u\"\npassword_file = \"" +
      password.string() + "\"\nfrom = \"a@b\"\nto = [\"c@d\"]\ninsecure = true\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  const auto checks = corvale::host::CheckBeforeStart(loaded.config, config.string());
  const auto said = [](const std::vector<std::string>& lines, const std::string& what) {
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
      return line.find(what) != std::string::npos;
    });
  };
  EXPECT_EQ(said(checks.problems, token.string() + " holds a secret and every user may read it"), 1)
      << "as a token in a file others may read is";
  EXPECT_EQ(said(checks.problems, "chmod 640 " + token.string()), 1) << "the mend named";
  EXPECT_EQ(said(checks.problems, password.string()), 0) << "its own and the service's";
  EXPECT_EQ(said(checks.warnings, "insecure = true never sends the mail password without TLS"), 1);
}

}  // namespace
