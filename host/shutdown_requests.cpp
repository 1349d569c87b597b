#include "host/shutdown_requests.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <vector>

namespace corvale::host {

namespace {

namespace fs = std::filesystem;

constexpr RequestKind kKinds[] = {RequestKind::kFlag, RequestKind::kUnflag, RequestKind::kShutdown,
                                  RequestKind::kPowerOff};

// "00000001733667200123-shutdown" as its number and kind; the number's width keeps name order.
struct Request {
  std::uint64_t number;
  RequestKind kind;
};
std::string NameOf(const Request& request) {
  std::string number = std::to_string(request.number);
  return std::string(20 - std::min<std::size_t>(20, number.size()), '0') + number + "-" +
         RequestName(request.kind);
}
std::optional<Request> Parse(const std::string& name) {
  const auto dash = name.find('-');
  if (dash == std::string::npos || dash == 0 || dash > 20) return std::nullopt;
  std::uint64_t number = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + dash, number);
  if (error != std::errc() || end != name.data() + dash) return std::nullopt;
  for (const RequestKind kind : kKinds) {
    if (name.compare(dash + 1, std::string::npos, RequestName(kind)) == 0) {
      return Request{number, kind};
    }
  }
  return std::nullopt;
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

// Written whole or not at all: a reader never sees half a result.
bool WriteAtomically(const fs::path& path, const std::string& text) {
  const fs::path temporary = path.parent_path() / ("." + path.filename().string() + ".tmp");
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  std::error_code error;
  fs::rename(temporary, path, error);
  return !error;
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
  }
  return "unknown";
}

ShutdownRequests::ShutdownRequests(std::string folder, std::string results, Logger& log,
                                   std::chrono::milliseconds patience)
    : folder_(std::move(folder)),
      results_(std::move(results)),
      log_(log),
      patience_(patience),
      // Later than any request an earlier run of the service left.
      next_(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count()) *
            1000),
      watcher_([this] { Watch(); }) {}

ShutdownRequests::~ShutdownRequests() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  watcher_.join();
}

bool ShutdownRequests::Leave(RequestKind kind, std::uint64_t* number) {
  {
    std::lock_guard lock(mutex_);
    *number = next_++;
  }
  std::error_code error;
  fs::create_directories(folder_, error);
  if (WriteAtomically(fs::path(folder_) / NameOf({*number, kind}), "")) return true;
  log_.Log(Priority::kCritical, std::string("cannot ask the privileged helper to ") +
                                    RequestName(kind) + ": cannot write in " + folder_);
  return false;
}

void ShutdownRequests::Ask(RequestKind kind) {
  std::uint64_t number;
  Leave(kind, &number);
}

void ShutdownRequests::AskAndWait(RequestKind kind, Ended ended) {
  std::uint64_t number;
  if (!Leave(kind, &number)) return ended(std::nullopt);
  std::lock_guard lock(mutex_);
  waiting_[number] = {kind, std::move(ended), std::chrono::steady_clock::now() + patience_};
  changed_.notify_all();
}

void ShutdownRequests::Watch() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    changed_.wait_for(lock, std::chrono::milliseconds(100));
    std::vector<std::pair<Ended, std::optional<ExitStatus>>> heard;
    const auto now = std::chrono::steady_clock::now();
    for (auto entry = waiting_.begin(); entry != waiting_.end();) {
      const fs::path result = fs::path(results_) / std::to_string(entry->first);
      std::ifstream in(result);
      std::string text;
      if (in && std::getline(in, text)) {
        const auto status = ParseStatus(text);
        log_.Log(status && !status->signalled && status->code == 0 ? Priority::kInfo
                                                                   : Priority::kWarning,
                 std::string("the root helper's ") + RequestName(entry->second.kind) +
                     " ended: " + (status ? status->Describe() : "it could not start"));
        heard.emplace_back(std::move(entry->second.ended), status);
      } else if (now >= entry->second.until) {
        log_.Log(Priority::kCritical,
                 "the privileged helper did not answer (is corvale-ups-shutdown.path active?)");
        heard.emplace_back(std::move(entry->second.ended), std::nullopt);
      } else {
        ++entry;
        continue;
      }
      entry = waiting_.erase(entry);
    }
    lock.unlock();
    for (auto& [ended, status] : heard) ended(status);
    lock.lock();
  }
}

int HandleRequests(const std::string& folder, const std::string& results,
                   const RequestHandlers& handlers, Logger& log) {
  std::error_code error;
  // Only a real folder; what is in it is never read, only its names.
  if (!fs::is_directory(fs::symlink_status(folder, error))) return 0;
  std::vector<Request> requests;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (!entry.is_regular_file(error) || entry.is_symlink(error)) continue;
    if (auto request = Parse(entry.path().filename().string())) requests.push_back(*request);
  }
  std::sort(requests.begin(), requests.end(),
            [](const Request& a, const Request& b) { return a.number < b.number; });
  fs::create_directories(results, error);
  for (const auto& request : requests) {
    fs::remove(fs::path(folder) / NameOf(request), error);
    log.Log(Priority::kNotice, std::string("asked to ") + RequestName(request.kind));
    std::optional<ExitStatus> status;
    switch (request.kind) {
      case RequestKind::kFlag:
        handlers.writeFlag();
        continue;
      case RequestKind::kUnflag:
        handlers.removeFlag();
        continue;
      case RequestKind::kShutdown:
        status = handlers.shutdown();
        break;
      case RequestKind::kPowerOff:
        status = handlers.powerOff();
        break;
    }
    if (!WriteAtomically(fs::path(results) / std::to_string(request.number), Describe(status))) {
      log.Log(Priority::kError, "cannot leave the result in " + results);
    }
  }
  return static_cast<int>(requests.size());
}

}  // namespace corvale::host
