#include "host/notify/notifier.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <random>

#include "host/utf8_path.h"

namespace corvale::host::notify {

using SystemClock = std::chrono::system_clock;

const std::vector<std::string>& DefaultNoticeEvents() {
  static const std::vector<std::string> events = {
      "on-battery",   "online",          "low-battery", "communication-lost",
      "shutdown",     "shutdown-failed", "kill-power",  "shutdown-unready",
      "battery-weak", "supplies-low",    "supplies-ok"};
  return events;
}

int NoticePriority(const std::string& event) {
  if (event == "low-battery" || event == "shutdown" || event == "shutdown-failed" ||
      event == "kill-power") {
    return 5;
  }
  if (event == "on-battery" || event == "reminder" || event == "communication-lost" ||
      event == "battery-weak" || event == "shutdown-unready" || event == "supplies-low") {
    return 4;
  }
  return 3;
}

std::string LateText(std::chrono::seconds late) {
  if (late < std::chrono::seconds(30)) return "";
  const std::string after = late < std::chrono::minutes(2)
                                ? std::to_string(late.count()) + " s"
                                : std::to_string(late.count() / 60) + " min";
  return "sent " + after + " late: the receiver could not be reached before";
}

std::optional<std::string> ReadSecret(const Config::Notify& entry, std::string* error) {
  const std::string& file = entry.tokenFile.empty() ? entry.passwordFile : entry.tokenFile;
  if (file.empty()) return entry.token.empty() ? entry.password : entry.token;
  std::ifstream in(PathFromUtf8(file), std::ios::binary);
  std::string secret;
  if (!in || !std::getline(in, secret)) {
    *error = "cannot read " + file;
    return std::nullopt;
  }
  while (!secret.empty() && (secret.back() == '\r' || secret.back() == ' ')) secret.pop_back();
  return secret;
}

std::string Subject(const Notice& notice) {
  std::string when = UtcTimestamp(notice.time);  // "2026-12-08T14:02:00Z"
  when = when.substr(11, 5) + " UTC";
  if (notice.event == "on-battery") return notice.ups + ": on battery since " + when;
  if (notice.event == "reminder") return notice.ups + ": still on battery (since " + when + ")";
  if (notice.event == "blip") return notice.ups + ": a short power failure at " + when;
  if (notice.event == "test") return notice.ups + ": a test notice";
  return notice.ups + ": " + notice.event + " at " + when;
}

struct Notifier::Entry {
  explicit Entry(Config::Notify chosen) : config(std::move(chosen)) {}
  Config::Notify config;
  std::string secret;
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::vector<Notice> inbox;  // to go into the outbox, on this entry's thread
  bool stopping = false;
  bool woken = false;  // a held notice came or went: the thread's wait is to be measured again
  // One UPS's power failure as this entry is told of it: held until it has lasted
  // `afterSeconds`. Each UPS has its own: one's return says nothing of another's.
  struct Failure {
    std::optional<Notice> held;
    std::optional<SystemClock::time_point> since, nextReminder;
    bool told = false;       // the failure counts as told: its end is news
    bool heldAsked = false;  // the held on-battery notice goes when released (else only counts)
    bool carried = false;    // in a failure an earlier run told of: its on-battery is no news
  };
  // By UPS, only while it is on battery (or carried over): as many as the UPSes watched.
  std::map<std::string, Failure> failures;
  std::uint64_t sent = 0, failed = 0, refused = 0;
  std::string problem;
  std::thread thread;
};

namespace {

// "; still on battery: b, c" when other UPSes' failures go on (under the entry's lock).
std::string StillOnBattery(const Notifier::Entry& entry) {
  std::string others;
  for (const auto& [ups, failure] : entry.failures) {
    if (failure.since) others += (others.empty() ? "" : ", ") + ups;
  }
  return others.empty() ? "" : "; still on battery: " + others;
}

}  // namespace

Notifier::Notifier(std::vector<Config::Notify> entries, std::string ups, NotifierOptions options,
                   Logger& log, Recorder record)
    : ups_(std::move(ups)),
      options_(std::move(options)),
      log_(log),
      record_(std::move(record)),
      outbox_(options_.outbox, options_.capacity) {
  for (auto& config : entries) {
    auto entry = std::make_unique<Entry>(std::move(config));
    for (const auto& [name, secret] : options_.secrets) {
      if (name == entry->config.name) entry->secret = secret;
    }
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> names;
  for (const auto& entry : entries_) names.push_back(entry->config.name);
  if (const auto gone = outbox_.DropAllBut(names)) {
    log_.Log(Priority::kWarning, std::to_string(gone) +
                                     " waiting notices were for [[notify]] entries that are no "
                                     "longer in the file: dropped");
  }
  for (const auto& [named, since] : options_.onBatteryBefore) {
    for (auto& entry : entries_) {
      auto& failure = entry->failures[named.empty() ? ups_ : named];
      failure.since = since;
      failure.told = failure.carried = true;
    }
  }
  const auto waiting = outbox_.Pending().size();
  if (waiting != 0) {
    log_.Log(Priority::kNotice,
             std::to_string(waiting) + " notices from before the restart are still to be sent");
  }
  for (auto& entry : entries_) {
    entry->thread = std::thread([this, raw = entry.get()] { Work(*raw); });
  }
}

Notifier::~Notifier() {
  for (auto& entry : entries_) {
    {
      std::lock_guard lock(entry->mutex);
      entry->stopping = true;
    }
    entry->changed.notify_all();
  }
  for (auto& entry : entries_) {
    if (entry->thread.joinable()) entry->thread.join();
  }
}

void Notifier::OnEvent(const UpsEvent& event, SystemClock::time_point when) {
  const std::string name = EventName(event.kind);
  const std::string& ups = event.ups.empty() ? ups_ : event.ups;
  for (auto& entry : entries_) {
    const auto& wanted =
        entry->config.events.empty() ? DefaultNoticeEvents() : entry->config.events;
    const bool asked = std::find(wanted.begin(), wanted.end(), name) != wanted.end();
    Notice notice{NewNoticeId(),       entry->config.name, name, ups,
                  event.state,         event.message,      when, 0,
                  NoticePriority(name)};
    std::lock_guard lock(entry->mutex);
    if (event.kind == EventKind::kOnBattery) {
      auto& failure = entry->failures[ups];
      if (std::exchange(failure.carried, false)) continue;  // told by the run before
      failure.since = when;
      failure.told = false;
      if (entry->config.remindMinutes != 0) {
        failure.nextReminder = when + options_.minute * entry->config.remindMinutes;
      }
      if (entry->config.afterSeconds != 0) {
        failure.held = std::move(notice);  // goes (or counts) once the failure has lasted
        failure.heldAsked = asked;
        entry->woken = true;
        entry->changed.notify_all();
        continue;
      }
      failure.told = true;
    } else if (event.kind == EventKind::kOnline) {
      const auto found = entry->failures.find(ups);
      // Online at a start, or after a failure nobody was told of, is no news.
      if (found == entry->failures.end()) continue;
      const Entry::Failure ended = std::move(found->second);
      entry->failures.erase(found);
      entry->woken = true;  // its held notice and reminders are gone from the thread's wait
      const bool blip = ended.held.has_value();
      if (blip) {
        // Shorter than after_seconds: nothing, or one line when asked for.
        if (entry->config.blip && ended.since) {
          const auto lasted = std::chrono::duration_cast<std::chrono::seconds>(when - *ended.since);
          entry->inbox.push_back({NewNoticeId(), entry->config.name, "blip", ups, event.state,
                                  "a power failure of " + std::to_string(lasted.count()) +
                                      " s, shorter than the " +
                                      std::to_string(entry->config.afterSeconds) +
                                      " s that a notice waits for" + StillOnBattery(*entry),
                                  when, 0, 3});
        }
        entry->changed.notify_all();
        continue;
      }
      if (!ended.since || !ended.told) continue;
      // This UPS's power is back: not the machine's while another UPS still runs on battery.
      notice.message += StillOnBattery(*entry);
    }
    if (!asked) continue;
    entry->inbox.push_back(std::move(notice));
    entry->changed.notify_all();
  }
}

namespace {

// What became of the tries of one notice, on its entry's thread.
struct Attempts {
  SystemClock::time_point notBefore;  // not tried again before
  std::chrono::milliseconds backoff{0};
  int refusals = 0;
};

}  // namespace

void Notifier::Work(Entry& entry) {
  std::mt19937 random(std::random_device{}());
  const auto jitter = [&random](std::chrono::milliseconds wait) {
    std::uniform_int_distribution<long long> spread(0, wait.count() / 4);
    return wait + std::chrono::milliseconds(spread(random));
  };
  // The receiver's own pace: after it failed as a whole (down, TLS, 5xx, busy), every notice
  // waits; each notice besides waits its own turn, so that one a receiver will not take never
  // holds back the others.
  auto backoff = options_.firstRetry;
  auto retryAt = SystemClock::now();
  std::map<std::string, Attempts> attempts;
  bool failing = false;
  std::string loggedReason;
  const std::string who = "notify \"" + entry.config.name + "\"";
  std::unique_lock lock(entry.mutex);
  while (!entry.stopping) {
    entry.woken = false;
    const auto now = SystemClock::now();
    // Each UPS's held on-battery notice whose time has come, and reminders while it lasts.
    for (auto& [ups, failure] : entry.failures) {
      if (failure.held && failure.since &&
          now - *failure.since >= std::chrono::seconds(entry.config.afterSeconds)) {
        if (failure.heldAsked) entry.inbox.push_back(std::move(*failure.held));
        failure.held.reset();
        failure.told = true;
      }
      if (failure.nextReminder && now >= *failure.nextReminder && failure.since) {
        if (failure.told) {
          const auto lasted =
              std::chrono::duration_cast<std::chrono::minutes>(now - *failure.since);
          entry.inbox.push_back({NewNoticeId(), entry.config.name, "reminder", ups, 2,
                                 "still on battery, for " + std::to_string(lasted.count()) + " min",
                                 *failure.since, 0, 4});
        }
        // From now, not from the last one: a clock set forward does not bring a burst.
        failure.nextReminder = now + options_.minute * entry.config.remindMinutes;
      }
    }
    // Into the outbox, on the disk, before the first try.
    auto arrived = std::move(entry.inbox);
    entry.inbox.clear();
    lock.unlock();
    for (auto& notice : arrived) {
      std::string error;
      if (!outbox_.Add(notice, &error)) {
        log_.Log(Priority::kError,
                 "the outbox cannot be written (" + error + "): the notice is kept in memory only");
      }
    }
    if (!arrived.empty() && attempts.size() > options_.capacity) {
      // Notices dropped for room leave their tries behind.
      const auto ids = outbox_.Ids(entry.config.name);
      std::erase_if(attempts, [&](const auto& known) {
        return std::find(ids.begin(), ids.end(), known.first) == ids.end();
      });
    }
    std::optional<Notice> next;
    const auto tried = SystemClock::now();
    if (tried >= retryAt) {
      next = outbox_.Next(entry.config.name, [&](const Notice& notice) {
        const auto known = attempts.find(notice.id);
        return known == attempts.end() || tried >= known->second.notBefore;
      });
    }
    if (next && tried - next->queued > options_.maxAge) {
      outbox_.Dropped(next->id, "too old");
      attempts.erase(next->id);
      log_.Log(Priority::kError, who + ": gave up on the " + next->event + " notice of " +
                                     UtcTimestamp(next->time) + ": undelivered for " +
                                     std::to_string(options_.maxAge.count() / 3600) + " h");
      lock.lock();
      continue;
    }
    if (next) {
      Extras extras;
      extras.host = options_.host;
      extras.late = LateText(
          std::chrono::duration_cast<std::chrono::seconds>(SystemClock::now() - next->queued));
      extras.dropped = outbox_.DroppedCount(entry.config.name);
      extras.cancelled = [&entry] {
        std::lock_guard stopping(entry.mutex);
        return entry.stopping;
      };
      const Delivery delivery = options_.send(entry.config, entry.secret, *next, extras);
      const auto after = SystemClock::now();
      bool givenUp = false;
      if (delivery.delivered) {
        outbox_.Delivered(next->id);
        attempts.erase(next->id);
        outbox_.ForgetDropped(entry.config.name, extras.dropped);  // said now
        if (failing) log_.Log(Priority::kNotice, who + ": delivering again");
        failing = false;
        loggedReason.clear();
        backoff = options_.firstRetry;
        retryAt = after;
        if (record_) {
          record_("notice-sent", who + ": " + next->event + " notice " + next->id + " delivered" +
                                     (extras.late.empty() ? "" : " (" + extras.late + ")"));
        }
      } else if (delivery.refused) {
        // This notice, not the receiver: the others go on at once.
        auto& notice = attempts[next->id];
        givenUp = ++notice.refusals >= options_.mostRefusals;
        notice.notBefore = after + options_.refusedRetry;
        if (givenUp) {
          outbox_.Dropped(next->id, "refused");
          attempts.erase(next->id);
          log_.Log(Priority::kError, who + ": gave up on the " + next->event + " notice of " +
                                         UtcTimestamp(next->time) + ": refused " +
                                         std::to_string(options_.mostRefusals) + " times (" +
                                         delivery.reason + ")");
          if (record_) {
            record_("notice-refused", who + ": " + next->event + " notice " + next->id +
                                          " refused by the receiver (" +
                                          delivery.reason.substr(0, 8) + "), given up");
          }
        } else {
          log_.Log(Priority::kWarning,
                   who + ": " + next->event + " notice refused: " + delivery.reason +
                       "; tried again in " +
                       std::to_string(
                           std::chrono::duration_cast<std::chrono::seconds>(options_.refusedRetry)
                               .count()) +
                       " s, the other notices meanwhile");
        }
      } else {
        if (delivery.reason != loggedReason) {
          log_.Log(Priority::kWarning, who + ": " + next->event + " notice not delivered: " +
                                           delivery.reason + "; trying again");
          loggedReason = delivery.reason;
        }
        failing = true;
        auto wait = jitter(backoff);
        backoff = std::min(backoff * 2, options_.longestRetry);
        if (delivery.retryAfter) {
          // Asked for by the receiver (busy, or slow to read): honoured within bounds.
          wait = std::clamp<std::chrono::milliseconds>(*delivery.retryAfter, options_.firstRetry,
                                                       options_.longestRetryAfter);
        }
        retryAt = after + wait;
        // A receiver that answered (5xx, busy) may fail this notice alone: it goes behind the
        // others that wait. One that was not reached fails them all, and the order stays.
        if (delivery.retryAfter || delivery.reason.starts_with("HTTP ")) {
          auto& notice = attempts[next->id];
          notice.backoff =
              std::min(std::max(notice.backoff * 2, options_.firstRetry), options_.longestRetry);
          notice.notBefore = retryAt + jitter(notice.backoff);
        }
      }
      lock.lock();
      if (delivery.delivered) {
        ++entry.sent;
        entry.problem.clear();
      } else {
        ++entry.failed;
        if (givenUp) ++entry.refused;
        // Published on the page: the status alone, never what the receiver said back.
        entry.problem =
            delivery.reason.starts_with("HTTP ") ? delivery.reason.substr(0, 8) : delivery.reason;
      }
      continue;
    }
    // Asked before the entry's lock: the outbox may be syncing another entry's notice.
    const auto waiting = outbox_.Ids(entry.config.name);
    lock.lock();
    // Until something arrives, a retry or a notice's turn is due, or a held notice or reminder
    // falls due.
    auto until = SystemClock::now() + std::chrono::minutes(1);
    for (const auto& id : waiting) {
      const auto known = attempts.find(id);
      const auto due =
          known == attempts.end() ? retryAt : std::max(retryAt, known->second.notBefore);
      until = std::min(until, due);
    }
    for (const auto& [ups, failure] : entry.failures) {
      if (failure.held && failure.since) {
        until = std::min(until, *failure.since + std::chrono::seconds(entry.config.afterSeconds));
      }
      if (failure.nextReminder) until = std::min(until, *failure.nextReminder);
    }
    entry.changed.wait_until(lock, until,
                             [&] { return entry.stopping || entry.woken || !entry.inbox.empty(); });
  }
}

std::vector<NotifyFacts> Notifier::Facts() const {
  std::vector<NotifyFacts> facts;
  const auto now = SystemClock::now();
  for (const auto& entry : entries_) {
    NotifyFacts fact;
    fact.name = entry->config.name;
    fact.queued = outbox_.Queued(fact.name);
    if (const auto oldest = outbox_.OldestQueued(fact.name)) {
      fact.oldestQueuedSeconds = std::chrono::duration<double>(now - *oldest).count();
    }
    std::lock_guard lock(entry->mutex);
    fact.sent = entry->sent;
    fact.failed = entry->failed;
    fact.refused = entry->refused;
    if (fact.queued != 0) fact.problem = entry->problem;
    facts.push_back(std::move(fact));
  }
  return facts;
}

}  // namespace corvale::host::notify
