#include "host/child_source.h"

#include <algorithm>

#include "host/child_protocol.h"

namespace corvale::host {

namespace {

constexpr std::chrono::milliseconds kReadWait{200};
constexpr std::chrono::milliseconds kStopWithin{1500};
// A process that logs more than this many lines a minute floods the log: it is at fault.
constexpr int kMostLogLinesPerMinute = 60;
constexpr char kRestartAsked[] = "restart";

// A line of the process, as safe to put in our log.
std::string Quoted(const std::string& line) {
  std::string shown;
  for (const char c : line.substr(0, 60)) {
    const auto byte = static_cast<unsigned char>(c);
    shown += byte < 0x20 || byte >= 0x7f ? '?' : c;
  }
  return "\"" + shown + (line.size() > 60 ? "...\"" : "\"");
}

}  // namespace

std::vector<std::string> ChildArguments(const ChildSourceOptions& options) {
  std::vector<std::string> arguments = {"ups-child", "--name", options.name};
  // Folders only where the driver's setup lives in folders (not in Windows' registry).
  if (!options.setup.registry.empty()) {
    arguments.insert(arguments.end(), {"--registry", options.setup.registry});
  }
  if (!options.setup.deviceDirectory.empty()) {
    arguments.insert(arguments.end(), {"--devices", options.setup.deviceDirectory});
  }
  if (options.setup.port) {
    arguments.insert(arguments.end(), {"--port", *options.setup.port});
  }
  if (!options.library.empty()) arguments.insert(arguments.end(), {"--library", options.library});
  if (options.systemRegistry) arguments.push_back("--system-registry");
  return arguments;
}

ChildSource::ChildSource(ChildSourceOptions options, Logger& log, Listener onPoll)
    : options_(std::move(options)), log_(log), onPoll_(std::move(onPoll)) {}

ChildSource::~ChildSource() = default;

void ChildSource::Run() {
  started_ = Clock::now();
  lastDelivered_ = started_;
  LastingCondition failing(log_, std::chrono::minutes(30));
  auto pause = options_.firstPause;
  while (!stopping_) {
    TakeNextSetup();
    std::string why;
    const auto began = Clock::now();
    auto child = StartChild(options_.program, ChildArguments(options_), &why);
    if (child) {
      {
        std::lock_guard lock(mutex_);
        child_ = child.get();
      }
      childId_ = child->Id();
      child->Write(child::HelloLine());
      why = Serve(*child);
      {
        std::lock_guard lock(mutex_);
        child_ = nullptr;
      }
      wake_.notify_all();  // a turn-off order waiting for its answer
      childId_ = 0;
      child->Kill();
      const auto ended = child->Wait(std::chrono::seconds(5));
      if (!ended) {
        log_.Log(Priority::kError, "the driver process " + std::to_string(child->Id()) +
                                       " of the UPS '" + options_.name +
                                       "' does not end even when killed");
      } else if (why == "ended") {
        why = "ended (" + ended->Describe() + ")";
      }
      child.reset();
    }
    if (stopping_) break;
    if (why == kRestartAsked) {
      TakeNextSetup();  // the port it starts on now, not the one it left
      log_.Log(Priority::kInfo, "starting the driver process of the UPS '" + options_.name +
                                    "' again on port " + options_.setup.port.value_or("(default)"));
      pause = options_.firstPause;
      continue;
    }
    if (Clock::now() - began >= options_.steadyAfter) pause = options_.firstPause;
    failing.Holds(Priority::kError,
                  "the driver process of the UPS '" + options_.name + "' " + why +
                      ": starting it again, pausing up to " +
                      std::to_string(options_.longestPause.count() / 1000) +
                      " s between tries; the UPS counts as not answering meanwhile",
                  Clock::now());
    PauseUnanswered(pause);
    pause = std::min(pause * 2, options_.longestPause);
  }
}

std::string ChildSource::Serve(ChildProcess& child) {
  child::LineSplitter splitter;
  bool greeted = false;
  auto lastObservation = Clock::now();
  std::optional<Clock::time_point> stopAsked;
  bool restarting = false;
  auto logWindow = Clock::now();
  int logLines = 0;
  char buffer[child::kMaxLine];
  for (;;) {
    const auto now = Clock::now();
    if (!stopAsked) {
      std::lock_guard lock(mutex_);
      restarting = nextSetup_.has_value();
    }
    if ((stopping_ || restarting) && !stopAsked) {
      child.Write(child::StopLine());
      stopAsked = now;
    }
    if (stopAsked && now - *stopAsked >= kStopWithin) return restarting ? kRestartAsked : "";
    if (!stopAsked && now - lastObservation >= options_.silentLimit) {
      return "said nothing for " + std::to_string(options_.silentLimit.count() / 1000) +
             " s (it hangs)";
    }
    TickUnanswered(now);
    std::size_t got = 0;
    const auto read = child.Read(buffer, sizeof buffer, kReadWait, &got);
    if (read == ChildProcess::ReadResult::kEnded) {
      if (stopAsked) return restarting ? kRestartAsked : "";
      return "ended";
    }
    if (read == ChildProcess::ReadResult::kNothingYet) continue;
    if (!splitter.Add(std::string_view(buffer, got))) {
      return "sent a line longer than " + std::to_string(child::kMaxLine) + " bytes";
    }
    for (const auto& line : splitter.Take()) {
      std::string why;
      if (!Take(line, &greeted, &why)) return why;
      if (line.starts_with("obs ") || child::IsHello(line)) lastObservation = Clock::now();
      if (line.starts_with("log ")) {
        if (Clock::now() - logWindow >= std::chrono::minutes(1)) {
          logWindow = Clock::now();
          logLines = 0;
        }
        if (++logLines > kMostLogLinesPerMinute) return "floods the log";
      }
    }
  }
}

bool ChildSource::Take(const std::string& line, bool* greeted, std::string* why) {
  if (!*greeted) {
    *greeted = child::IsHello(line);
    if (!*greeted) *why = "does not speak this version's protocol (it said " + Quoted(line) + ")";
    return *greeted;
  }
  const auto message = child::ParseChildLine(line);
  if (!message) {
    *why = "sent a line that is not of the protocol: " + Quoted(line);
    return false;
  }
  if (message->log) {
    log_.Log(message->log->priority, "UPS '" + options_.name + "': " + message->log->text);
  } else if (message->turnOff) {
    std::lock_guard lock(mutex_);
    if (turnOffAsked_) turnOffAnswer_ = message->turnOff->acknowledged;
    wake_.notify_all();
  } else if (message->polled) {
    const auto& polled = *message->polled;
    Observation observation = current_;
    observation.when = Clock::now();
    observation.polled = polled.polled;
    if (polled.polled != 8) {
      lastValid_ = observation.when;
      observation.state = polled.polled;
      observation.statusText = polled.statusText;
      observation.flags = FlagsFromStatusText(polled.statusText);
    }
    // The parent's own count: a process started again knows nothing of the silence before it.
    observation.linkLost = polled.linkLost || observation.when - lastValid_.value_or(started_) >=
                                                  options_.timing.lostAfter;
    Deliver(observation);
  }
  return true;
}

void ChildSource::TickUnanswered(Clock::time_point now) {
  if (now - lastDelivered_ < 2 * options_.timing.pollEvery) return;
  Observation observation = current_;
  observation.when = now;
  observation.polled = 8;
  observation.linkLost = now - lastValid_.value_or(started_) >= options_.timing.lostAfter;
  Deliver(observation);
}

void ChildSource::Deliver(const Observation& observation) {
  current_ = observation;
  lastDelivered_ = observation.when;
  {
    std::lock_guard lock(mutex_);
    latest_ = observation;
  }
  if (onPoll_ && !stopping_) onPoll_(observation);
}

void ChildSource::PauseUnanswered(std::chrono::milliseconds pause) {
  const auto until = Clock::now() + pause;
  std::unique_lock lock(mutex_);
  while (!stopping_ && !nextSetup_) {
    const auto now = Clock::now();
    if (now >= until) return;
    lock.unlock();
    TickUnanswered(now);
    lock.lock();
    wake_.wait_until(lock, std::min(until, now + options_.timing.pollEvery),
                     [&] { return stopping_.load() || nextSetup_.has_value(); });
  }
}

void ChildSource::Stop() {
  stopping_ = true;
  wake_.notify_all();
}

std::optional<Observation> ChildSource::Latest() const {
  std::lock_guard lock(mutex_);
  return latest_;
}

void ChildSource::TakeNextSetup() {
  std::lock_guard lock(mutex_);
  if (nextSetup_) options_.setup = *std::exchange(nextSetup_, std::nullopt);
}

void ChildSource::ChangeSetup(Setup setup) {
  std::lock_guard lock(mutex_);
  nextSetup_ = std::move(setup);
  wake_.notify_all();
}

std::optional<bool> ChildSource::TurnOff(std::uint32_t delay) {
  std::lock_guard order(turnOffMutex_);
  std::unique_lock lock(mutex_);
  if (child_ == nullptr) return false;  // asked again by the caller, perhaps of the next one
  turnOffAsked_ = true;
  turnOffAnswer_.reset();
  if (child_->Write(child::TurnOffLine(delay))) {
    wake_.wait_for(lock, options_.turnOffWithin,
                   [&] { return turnOffAnswer_.has_value() || child_ == nullptr; });
  }
  turnOffAsked_ = false;
  return turnOffAnswer_.value_or(false);
}

}  // namespace corvale::host
