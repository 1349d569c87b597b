#include "host/notify/outbox.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "host/events.h"
#include "host/history.h"
#include "host/host_os.h"
#include "host/utf8_path.h"

namespace corvale::host::notify {

namespace {

constexpr std::uint64_t kCompactAfterBytes = 256 * 1024;

// A line at the end of `path`, on the disk before this returns when `sync`.
bool AppendLine(const std::string& path, const std::string& line, bool sync, std::string* error) {
  if (sync) return AppendDurably(path, line + "\n", error);
  std::ofstream out(PathFromUtf8(path), std::ios::app | std::ios::binary);
  out << line << "\n";
  return static_cast<bool>(out);
}

// `text` in place of `path`'s content, all or nothing.
bool ReplaceFile(const std::string& path, const std::string& text, std::string* error) {
  const std::string temporary = path + ".new";
  std::error_code ignored;
  std::filesystem::remove(PathFromUtf8(temporary), ignored);
  if (!AppendDurably(temporary, text, error)) return false;
  std::error_code renamed;
  std::filesystem::rename(PathFromUtf8(temporary), PathFromUtf8(path), renamed);
  if (renamed) {
    *error = renamed.message();
    return false;
  }
  return SyncFolderOf(path, error);
}

}  // namespace

std::string NewNoticeId() {
  static std::mutex mutex;
  static std::mt19937_64 random{
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
  std::lock_guard lock(mutex);
  char text[40];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(random()),
                static_cast<unsigned long long>(random()));
  return text;
}

std::string NoticeLine(const Notice& notice) {
  const nlohmann::json json = {
      {"id", notice.id},
      {"entry", notice.entry},
      {"event", notice.event},
      {"ups", notice.ups},
      {"state", notice.state},
      {"message", notice.message},
      {"time", UtcTimestamp(notice.time)},
      {"epoch_ms",
       std::chrono::duration_cast<std::chrono::milliseconds>(notice.time.time_since_epoch())
           .count()},
      {"queued_ms",
       std::chrono::duration_cast<std::chrono::milliseconds>(notice.queued.time_since_epoch())
           .count()},
      {"sequence", notice.sequence},
      {"priority", notice.priority}};
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<Notice> ParseNoticeLine(const std::string& line) {
  const auto json = nlohmann::json::parse(line, nullptr, false);
  if (!json.is_object()) return std::nullopt;
  try {
    Notice notice;
    notice.id = json.at("id").get<std::string>();
    notice.entry = json.at("entry").get<std::string>();
    notice.event = json.at("event").get<std::string>();
    notice.ups = json.at("ups").get<std::string>();
    notice.state = json.at("state").get<std::uint32_t>();
    notice.message = json.at("message").get<std::string>();
    // Whole milliseconds, not beyond the day after tomorrow: a line this service did not write is
    // no notice.
    const auto& epoch = json.at("epoch_ms");
    const auto& queued = json.at("queued_ms");
    if (!epoch.is_number_integer() || !queued.is_number_integer()) return std::nullopt;
    const auto limit =
        std::chrono::duration_cast<std::chrono::milliseconds>(
            (std::chrono::system_clock::now() + std::chrono::hours(48)).time_since_epoch())
            .count();
    if (epoch.get<long long>() > limit || queued.get<long long>() > limit) return std::nullopt;
    notice.time =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(epoch.get<long long>()));
    notice.queued =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(queued.get<long long>()));
    notice.sequence = json.at("sequence").get<std::uint64_t>();
    notice.priority = json.at("priority").get<int>();
    if (notice.id.empty()) return std::nullopt;
    return notice;
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;  // a line torn by a power cut, or not ours
  }
}

Outbox::Outbox(std::string path, std::size_t capacity)
    : path_(std::move(path)), capacity_(std::max<std::size_t>(capacity, 1)) {
  if (path_.empty()) return;
  std::ifstream in(PathFromUtf8(path_), std::ios::binary);
  // Compacted, it holds what is due; grown beyond all measure (its folder is the service's), only
  // its end is read.
  constexpr std::streamoff kMostRead = 16 << 20;
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(size > kMostRead ? size - kMostRead : 0);
  if (size > kMostRead) in.ignore(kMostRead, '\n');
  std::set<std::string> finished;
  for (std::string line; std::getline(in, line);) {
    const auto json = nlohmann::json::parse(line, nullptr, false);
    if (json.is_object() && json.contains("done") && json["done"].is_string()) {
      finished.insert(json["done"].get<std::string>());
    } else if (auto notice = ParseNoticeLine(line)) {
      pending_.push_back(std::move(*notice));
    }
  }
  std::erase_if(pending_, [&](const Notice& notice) { return finished.count(notice.id) != 0; });
  // A line torn by a power cut must not glue itself to the next notice.
  std::ifstream tail(PathFromUtf8(path_), std::ios::binary | std::ios::ate);
  if (tail && tail.tellg() > 0) {
    tail.seekg(-1, std::ios::end);
    if (tail.get() != '\n')
      std::ofstream(PathFromUtf8(path_), std::ios::app | std::ios::binary) << '\n';
  }
  while (pending_.size() > capacity_) pending_.pop_front();
  CompactIfLarge();
}

void Outbox::Record(const std::string& line, bool sync) {
  if (path_.empty()) return;
  std::string error;
  AppendLine(path_, line, sync, &error);
  bytesWritten_ += line.size() + 1;
}

bool Outbox::Add(Notice notice, std::string* error) {
  std::lock_guard lock(mutex_);
  if (pending_.size() >= capacity_) {
    // The oldest of the lowest priority makes room.
    const auto lowest =
        std::min_element(pending_.begin(), pending_.end(),
                         [](const Notice& a, const Notice& b) { return a.priority < b.priority; });
    const std::string entry = lowest->entry;
    const auto counted = std::find_if(droppedForRoom_.begin(), droppedForRoom_.end(),
                                      [&](const auto& pair) { return pair.first == entry; });
    if (counted == droppedForRoom_.end()) {
      droppedForRoom_.emplace_back(entry, 1);
    } else {
      ++counted->second;
    }
    Record(nlohmann::json{{"done", lowest->id}, {"dropped", "full"}}.dump(), false);
    pending_.erase(lowest);
  }
  bool written = true;
  if (!path_.empty()) {
    const std::string line = NoticeLine(notice);
    written = AppendLine(path_, line, true, error);
    bytesWritten_ += line.size() + 1;
  }
  pending_.push_back(std::move(notice));
  return written;
}

std::optional<Notice> Outbox::Next(const std::string& entry) const {
  std::lock_guard lock(mutex_);
  for (const auto& notice : pending_) {
    if (notice.entry == entry) return notice;
  }
  return std::nullopt;
}

void Outbox::Delivered(const std::string& id) {
  std::lock_guard lock(mutex_);
  std::erase_if(pending_, [&](const Notice& notice) { return notice.id == id; });
  // Not synced: lost in a power cut, the notice goes again and the receiver knows its id.
  Record(nlohmann::json{{"done", id}}.dump(), false);
  CompactIfLarge();
}

void Outbox::Dropped(const std::string& id) {
  std::lock_guard lock(mutex_);
  std::erase_if(pending_, [&](const Notice& notice) { return notice.id == id; });
  Record(nlohmann::json{{"done", id}, {"dropped", "too old"}}.dump(), false);
}

std::size_t Outbox::DroppedCount(const std::string& entry) const {
  std::lock_guard lock(mutex_);
  for (const auto& [name, count] : droppedForRoom_) {
    if (name == entry) return count;
  }
  return 0;
}

void Outbox::ForgetDropped(const std::string& entry, std::size_t told) {
  std::lock_guard lock(mutex_);
  for (auto& [name, count] : droppedForRoom_) {
    if (name == entry) count -= std::min(count, told);
  }
}

std::size_t Outbox::Queued(const std::string& entry) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(pending_.begin(), pending_.end(),
                    [&](const Notice& notice) { return notice.entry == entry; }));
}

std::optional<std::chrono::system_clock::time_point> Outbox::OldestQueued(
    const std::string& entry) const {
  std::lock_guard lock(mutex_);
  for (const auto& notice : pending_) {
    if (notice.entry == entry) return notice.time;
  }
  return std::nullopt;
}

std::size_t Outbox::DropAllBut(const std::vector<std::string>& entries) {
  std::lock_guard lock(mutex_);
  std::size_t dropped = 0;
  std::erase_if(pending_, [&](const Notice& notice) {
    if (std::find(entries.begin(), entries.end(), notice.entry) != entries.end()) return false;
    Record(nlohmann::json{{"done", notice.id}, {"dropped", "no such entry"}}.dump(), false);
    ++dropped;
    return true;
  });
  return dropped;
}

std::vector<Notice> Outbox::Pending() const {
  std::lock_guard lock(mutex_);
  return {pending_.begin(), pending_.end()};
}

void Outbox::CompactIfLarge() {
  if (path_.empty() || bytesWritten_ < kCompactAfterBytes) {
    std::error_code error;
    const auto size = std::filesystem::file_size(PathFromUtf8(path_), error);
    if (error || size < kCompactAfterBytes) return;
  }
  std::string text;
  for (const auto& notice : pending_) text += NoticeLine(notice) + "\n";
  std::string error;
  if (ReplaceFile(path_, text, &error)) bytesWritten_ = 0;
}

}  // namespace corvale::host::notify
