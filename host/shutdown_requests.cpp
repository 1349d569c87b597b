#include "host/shutdown_requests.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

#include "host/utf8_path.h"

namespace corvale::host {

namespace {

namespace fs = std::filesystem;

constexpr RequestKind kKinds[] = {RequestKind::kFlag, RequestKind::kUnflag, RequestKind::kShutdown,
                                  RequestKind::kPowerOff, RequestKind::kPing};
constexpr std::size_t kDigits = 20;

std::string Padded(std::uint64_t number) {
  const std::string digits = std::to_string(number);
  return std::string(kDigits - std::min(kDigits, digits.size()), '0') + digits;
}

// Exactly 20 digits at `at` in `text`.
std::optional<std::uint64_t> Number(std::string_view text, std::size_t at) {
  if (text.size() < at + kDigits) return std::nullopt;
  const std::string_view digits = text.substr(at, kDigits);
  if (digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return number;
}

// "<instance>-<sequence>", as an answer is named.
std::optional<RequestId> ParseId(std::string_view text) {
  const auto instance = Number(text, 0);
  if (!instance || text.size() < 2 * kDigits + 1 || text[kDigits] != '-') return std::nullopt;
  const auto sequence = Number(text, kDigits + 1);
  if (!sequence) return std::nullopt;
  return RequestId{*instance, *sequence};
}

std::string Describe(const std::optional<ExitStatus>& status) {
  if (!status) return "none";
  return (status->signalled ? "signal " : "exit ") + std::to_string(status->code);
}
std::optional<ExitStatus> ParseStatus(const std::string& text) {
  int code = 0;
  for (const auto& [prefix, signalled] : {std::pair{"exit ", false}, std::pair{"signal ", true}}) {
    const std::string word = prefix;
    if (text.rfind(word, 0) != 0) continue;
    const auto [end, error] =
        std::from_chars(text.data() + word.size(), text.data() + text.size(), code);
    if (error == std::errc()) return ExitStatus{signalled, code};
  }
  return std::nullopt;
}

// A name as it may go into a log: printable, and short.
std::string Printable(const std::string& name) {
  std::string shown;
  for (const char c : name.substr(0, 64)) shown += (c >= 0x20 && c < 0x7f) ? c : '?';
  return "\"" + shown + (name.size() > 64 ? "...\"" : "\"");
}

std::uint64_t MillisecondsNow() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace

const char* RequestName(RequestKind kind) {
  switch (kind) {
    case RequestKind::kFlag:
      return "flag";
    case RequestKind::kUnflag:
      return "unflag";
    case RequestKind::kShutdown:
      return "shutdown";
    case RequestKind::kPowerOff:
      return "poweroff";
    case RequestKind::kPing:
      return "ping";
  }
  return "unknown";
}

std::string RequestId::Text() const {
  return Padded(instance) + "-" + Padded(sequence);
}

std::string RequestFileName(const RequestId& id, RequestKind kind, std::uint64_t units,
                            std::uint64_t upsList) {
  const std::string name = id.Text() + "-" + RequestName(kind);
  return kind == RequestKind::kFlag && units != 0
             ? name + "-" + Padded(units) + "-" + Padded(upsList)
             : name;
}

std::optional<ParsedRequest> ParseRequestFileName(const std::string& name) {
  const auto id = ParseId(name);
  const std::size_t dash = 2 * kDigits + 1;
  if (!id || name.size() <= dash || name[dash] != '-') return std::nullopt;
  for (const RequestKind kind : kKinds) {
    if (name.compare(dash + 1, std::string::npos, RequestName(kind)) == 0) {
      return ParsedRequest{*id, kind};
    }
  }
  // A flag for some of several UPSes: exactly 20 digits, never 0, then the list's 20.
  const std::string flag = std::string(RequestName(RequestKind::kFlag)) + "-";
  const std::size_t digitsAt = dash + 1 + flag.size();
  const std::size_t listAt = digitsAt + kDigits + 1;
  if (name.compare(dash + 1, flag.size(), flag) != 0 || name.size() != listAt + kDigits ||
      name[listAt - 1] != '-') {
    return std::nullopt;
  }
  const auto units = Number(name, digitsAt);
  const auto upsList = Number(name, listAt);
  if (!units || *units == 0 || !upsList) return std::nullopt;
  return ParsedRequest{*id, RequestKind::kFlag, *units, *upsList};
}

ShutdownRequests::ShutdownRequests(std::string folder, std::string results, Logger& log,
                                   ShutdownRequestsOptions options)
    : folder_(std::move(folder)),
      results_(std::move(results)),
      log_(log),
      options_(std::move(options)),
      instance_(MillisecondsNow()) {
  std::string why;
  requests_ = OpenFolder(folder_, false, true, &why);
  if (requests_) {
    // What an earlier run asked and nobody carried out must not be carried out now.
    std::size_t dropped = 0;
    for (const auto& entry : requests_->List(HelperLimits{}.names)) {
      dropped += requests_->Remove(entry.name) ? 1 : 0;
    }
    if (dropped > 0) {
      log_.Log(Priority::kNotice, "dropped " + std::to_string(dropped) + " request(s) left in " +
                                      folder_ + " by an earlier run");
    }
  }
  // Later than every answer still there, even after the clock went back: an old "exit 0" is
  // never read as the answer to a new request.
  if (auto answers = OpenFolder(results_, false, false, &why)) {
    for (const auto& entry : answers->List(HelperLimits{}.names)) {
      if (const auto id = ParseId(entry.name); id && id->instance >= instance_) {
        instance_ = id->instance + 1;
      }
    }
  }
  pingDue_ = std::chrono::steady_clock::now();
  watcher_ = std::thread([this] { Watch(); });
}

ShutdownRequests::~ShutdownRequests() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  watcher_.join();
}

bool ShutdownRequests::Leave(RequestKind kind, RequestId* id, std::uint64_t units) {
  std::string why;
  {
    std::lock_guard lock(mutex_);
    *id = RequestId{instance_, next_++};
    if (!requests_) requests_ = OpenFolder(folder_, false, true, &why);
    // An empty file: only its name says something, so it needs no writing in two steps.
    if (requests_ && requests_->Create(RequestFileName(*id, kind, units, options_.upsList), &why))
      return true;
  }
  log_.Log(Priority::kCritical, std::string("cannot ask the privileged helper to ") +
                                    RequestName(kind) + ": cannot write in " + folder_ + ": " +
                                    why);
  return false;
}

void ShutdownRequests::Ask(RequestKind kind, std::uint64_t units) {
  RequestId id;
  Leave(kind, &id, units);
}

void ShutdownRequests::SetUpsList(std::uint64_t upsList) {
  std::lock_guard lock(mutex_);
  options_.upsList = upsList;
}

void ShutdownRequests::AskAndWait(RequestKind kind, Ended ended) {
  RequestId id;
  if (!Leave(kind, &id)) return ended(std::nullopt);
  std::lock_guard lock(mutex_);
  if (ready_ == false) {
    log_.Log(Priority::kCritical,
             std::string("asked the privileged helper to ") + RequestName(kind) +
                 ", but it has not answered since its last ping: the shutdown will likely not "
                 "happen (systemctl reset-failed corvale-ups-shutdown.service "
                 "corvale-ups-shutdown.path; systemctl start corvale-ups-shutdown.path)");
  }
  waiting_[id.sequence] = {kind, std::move(ended),
                           std::chrono::steady_clock::now() + options_.patience};
  changed_.notify_all();
}

bool ShutdownRequests::Ready() const {
  std::lock_guard lock(mutex_);
  return ready_.value_or(true);
}

std::optional<bool> ShutdownRequests::Answered() const {
  std::lock_guard lock(mutex_);
  return ready_;
}

bool ShutdownRequests::Ping(std::chrono::steady_clock::time_point now) {
  const RequestId id{instance_, next_++};
  std::string why;
  if (!requests_) requests_ = OpenFolder(folder_, false, true, &why);
  if (!requests_ || !requests_->Create(RequestFileName(id, RequestKind::kPing), &why)) {
    log_.Log(Priority::kCritical,
             "cannot ask the privileged helper anything: cannot write in " + folder_ + ": " + why);
    return false;
  }
  ping_ = id.sequence;
  pingDue_ = now + options_.pingPatience;  // the answer is awaited until then
  return true;
}

void ShutdownRequests::Watch() {
  std::unique_lock lock(mutex_);
  const auto answer = [this](std::uint64_t sequence) -> std::optional<std::string> {
    std::ifstream in(PathFromUtf8(results_) / RequestId{instance_, sequence}.Text());
    std::string text;
    if (in && std::getline(in, text)) return text;
    return std::nullopt;
  };
  while (!stopping_) {
    changed_.wait_for(lock, std::chrono::milliseconds(100));
    if (stopping_) break;
    std::vector<std::pair<Ended, std::optional<ExitStatus>>> heard;
    const auto now = std::chrono::steady_clock::now();
    const auto wasReady = ready_;
    if (ping_ && answer(*ping_)) {
      ping_.reset();
      ready_ = true;
      pingDue_ = now + options_.pingEvery;
    } else if (now >= pingDue_ && (ping_ || !Ping(now))) {
      // Unanswered (taken back, so that a helper started much later finds nothing old), or it
      // could not even be asked.
      if (requests_ && ping_) {
        requests_->Remove(RequestFileName({instance_, *ping_}, RequestKind::kPing));
      }
      ping_.reset();
      ready_ = false;
      // Asked again soon, so that a mended helper is noticed.
      pingDue_ =
          now + std::min<std::chrono::milliseconds>(options_.pingEvery, std::chrono::seconds(30));
    }
    const bool changed = ready_ && ready_ != wasReady;
    if (changed && !*ready_) {
      log_.Log(Priority::kCritical,
               "the privileged helper does not answer (a ping went unanswered for " +
                   std::to_string(options_.pingPatience.count() / 1000) +
                   " s): a shutdown would not happen. Mend it: systemctl reset-failed "
                   "corvale-ups-shutdown.service corvale-ups-shutdown.path; systemctl start "
                   "corvale-ups-shutdown.path");
    } else if (changed && wasReady.has_value()) {
      log_.Log(Priority::kNotice, "the privileged helper answers again");
    }
    for (auto entry = waiting_.begin(); entry != waiting_.end();) {
      const char* kind = RequestName(entry->second.kind);
      if (const auto text = answer(entry->first)) {
        const auto status = ParseStatus(*text);
        log_.Log(status && !status->signalled && status->code == 0 ? Priority::kInfo
                                                                   : Priority::kWarning,
                 std::string("the root helper's ") + kind +
                     " ended: " + (status ? status->Describe() : "it could not start"));
        heard.emplace_back(std::move(entry->second.ended), status);
      } else if (now >= entry->second.until) {
        const bool takenBack = requests_ && requests_->Remove(RequestFileName(
                                                {instance_, entry->first}, entry->second.kind));
        log_.Log(Priority::kCritical,
                 takenBack
                     ? std::string("the privileged helper never took the request to ") + kind +
                           ": it was not carried out, and is withdrawn (is "
                           "corvale-ups-shutdown.path active?)"
                     : std::string("the privileged helper took the request to ") + kind +
                           " but never answered");
        heard.emplace_back(std::move(entry->second.ended), std::nullopt);
      } else {
        ++entry;
        continue;
      }
      entry = waiting_.erase(entry);
    }
    lock.unlock();
    if (changed && options_.readiness) options_.readiness(*ready_);
    for (auto& [ended, status] : heard) ended(status);
    lock.lock();
  }
}

int HandleRequests(const std::string& folder, const std::string& results,
                   const RequestHandlers& handlers, Logger& log, const HelperLimits& limits) {
  std::string why;
  // Only the service's real folder; what is in it is never read, only its names.
  const auto requests = OpenFolder(folder, false, false, &why);
  if (!requests) return 0;
  const auto answers = OpenFolder(results, true, true, &why);
  if (!answers) log.Log(Priority::kError, "cannot answer in " + results + ": " + why);

  // Each name is looked at once: what is no request goes at once.
  std::vector<std::pair<ParsedRequest, std::string>> found;
  std::vector<std::string> unknown, stale;
  std::uint64_t newest = 0;
  // Removing the flag is never a surprise, and an old unflag is the trace of a shutdown that was
  // abandoned: its flag must not cut the power at the next ordinary restart. So an unflag is
  // carried out however old, before anything newer.
  bool staleUnflag = false;
  const auto dropStale = [&](const ParsedRequest& request, const std::string& name) {
    if (!requests->Remove(name)) return;
    if (request.kind == RequestKind::kUnflag) {
      staleUnflag = true;
    } else {
      stale.push_back(name);
    }
  };
  for (auto& entry : requests->List(limits.names)) {
    const auto request = ParseRequestFileName(entry.name);
    if (!request || !entry.regularFile) {
      if (requests->Remove(entry.name)) unknown.push_back(entry.name);
    } else if (entry.age > limits.maxAge || entry.age < -limits.maxAge) {
      dropStale(*request, entry.name);
    } else {
      newest = std::max(newest, request->id.instance);
      found.emplace_back(*request, std::move(entry.name));
    }
  }
  // Only the service that runs now asks; an earlier run's requests are old news.
  std::erase_if(found, [&](const auto& request) {
    if (request.first.id.instance == newest) return false;
    dropStale(request.first, request.second);
    return true;
  });
  if (staleUnflag) {
    handlers.removeFlag();
    log.Log(Priority::kNotice,
            "removed the flag, as an unflag left by an earlier run of the service (or long ago) "
            "asked");
  }
  const auto report = [&log](const std::vector<std::string>& names, const std::string& what) {
    constexpr std::size_t kNamed = 8;
    for (std::size_t index = 0; index < names.size() && index < kNamed; ++index) {
      log.Log(Priority::kWarning,
              "removed " + Printable(names[index]) + " from the request " + "folder: " + what);
    }
    if (names.size() > kNamed) {
      log.Log(Priority::kWarning, "removed " + std::to_string(names.size() - kNamed) +
                                      " more names from the request folder: " + what);
    }
  };
  report(unknown, "not a request");
  report(stale, "a request of an earlier run of the service, or older than " +
                    std::to_string(limits.maxAge.count()) + " s: not carried out");

  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first.id.sequence < b.first.id.sequence; });
  if (found.size() > limits.requests) found.resize(limits.requests);
  int handled = 0;
  for (const auto& [request, name] : found) {
    // Taken before it is carried out; one the service took back meanwhile is not.
    if (!requests->Remove(name)) continue;
    ++handled;
    if (request.kind != RequestKind::kPing) {
      log.Log(Priority::kNotice, std::string("asked to ") + RequestName(request.kind));
    }
    std::optional<ExitStatus> status = ExitStatus{};
    switch (request.kind) {
      case RequestKind::kFlag:
        handlers.writeFlag(request.units, request.upsList);
        continue;
      case RequestKind::kUnflag:
        handlers.removeFlag();
        continue;
      case RequestKind::kPing:
        break;
      case RequestKind::kShutdown:
        status = handlers.shutdown();
        break;
      case RequestKind::kPowerOff:
        status = handlers.powerOff();
        break;
    }
    if (!answers || !answers->Replace(request.id.Text(), Describe(status), &why)) {
      log.Log(Priority::kError, "cannot leave the answer in " + results + ": " + why);
    }
  }
  // Answers nobody read are not kept.
  if (answers) {
    for (const auto& entry : answers->List(limits.names)) {
      // Answers only: the flag and kill-power's registry may share the folder.
      const auto id = ParseId(entry.name);
      if (!id || id->Text() != entry.name) continue;
      if (entry.age > limits.resultLifetime || entry.age < -limits.resultLifetime) {
        answers->Remove(entry.name);
      }
    }
  }
  return handled;
}

}  // namespace corvale::host
