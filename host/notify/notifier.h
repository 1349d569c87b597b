// Notifications the service sends itself: each [[notify]] entry hears the events it asked for
// (an on-battery notice held until the failure has lasted, reminders while it lasts), every notice
// goes through the durable outbox, and each entry delivers on a thread of its own, retrying with
// backoff and jitter until it is delivered or too old. Nothing here waits on a receiver but that
// thread: a slow or dead receiver never delays a poll, the NUT server or a shutdown.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/config.h"
#include "host/events.h"
#include "host/log.h"
#include "host/notify/facts.h"
#include "host/notify/outbox.h"
#include "host/notify/sender.h"

namespace corvale::host::notify {

struct NotifierOptions {
  std::string outbox;  // the outbox file; empty: kept in memory only
  std::size_t capacity = 1000;
  std::chrono::seconds maxAge{std::chrono::hours(24)};  // undelivered this long: given up
  std::chrono::milliseconds firstRetry{1000}, longestRetry{5000};
  // A notice the receiver refuses (an HTTP 4xx but 408 and 429) is tried again this often, in
  // case somebody mends the receiver or the token, and given up after `mostRefusals`.
  std::chrono::milliseconds refusedRetry{std::chrono::minutes(5)};
  int mostRefusals = 3;
  // The longest a Retry-After is waited for: a receiver cannot silence an entry for longer.
  std::chrono::milliseconds longestRetryAfter{std::chrono::minutes(5)};
  std::string host;                         // this machine's name, in the notices
  std::chrono::milliseconds minute{60000};  // remind_minutes' unit (shorter in tests)
  // The power failures an earlier run was in when it stopped (from the history), by UPS (empty:
  // the notifier's own): their people were told of them, and are told of their end.
  std::map<std::string, std::chrono::system_clock::time_point> onBatteryBefore;
  // The secret of each entry, by name, read from the file or the configuration.
  std::vector<std::pair<std::string, std::string>> secrets;
  // Tries one delivery: the real sender unless a test gives another.
  std::function<Delivery(const Config::Notify&, const std::string&, const Notice&, const Extras&)>
      send = Send;
};

// The events an entry hears when its file names none: those a person acts on.
const std::vector<std::string>& DefaultNoticeEvents();
// 5 urgent (low battery, shutdown, kill-power) to 3.
int NoticePriority(const std::string& event);
// "sent 6 min late: ..." for a notice delivered `late` after it happened; empty when on time.
std::string LateText(std::chrono::seconds late);

class Notifier {
 public:
  using Recorder = std::function<void(const std::string& event, const std::string& message)>;
  Notifier(std::vector<Config::Notify> entries, std::string ups, NotifierOptions options,
           Logger& log, Recorder record);
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // From any thread; never waits on a receiver or the disk.
  void OnEvent(const UpsEvent& event, std::chrono::system_clock::time_point when);
  std::vector<NotifyFacts> Facts() const;

  struct Entry;  // in notifier.cpp

 private:
  void Work(Entry& entry);

  std::string ups_;
  NotifierOptions options_;
  Logger& log_;
  Recorder record_;
  Outbox outbox_;
  std::vector<std::unique_ptr<Entry>> entries_;
};

}  // namespace corvale::host::notify
