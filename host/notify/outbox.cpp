#include "host/notify/outbox.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "host/events.h"
#include "host/history.h"
#include "host/host_os.h"
#include "host/utf8_path.h"

namespace corvale::host::notify {

namespace {

// What the file may hold beyond its live notices before it is compacted: twice their size, and
// this much more so that a near-empty outbox is not rewritten at every line.
constexpr std::uint64_t kCompactSlackBytes = 64 * 1024;
// Compacted, the file holds what is due; grown beyond all measure (its folder is the service's),
// only its end is read.
constexpr std::size_t kMostRead = 16 << 20;

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

// The end of the file at `path`, from a line's start; empty when there is none.
std::string ReadTail(const std::string& path, std::string* why) {
  const auto file = OpenRegularFile(path, why);
  if (!file) return {};
  const std::uint64_t size = file->Size();
  const std::uint64_t from = size > kMostRead ? size - kMostRead : 0;
  std::string text(static_cast<std::size_t>(size - from), '\0');
  text.resize(file->ReadAt(from, text.data(), text.size()));
  if (from != 0) text.erase(0, std::min(text.size(), text.find('\n') + 1));
  return text;
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
  const std::string text = ReadTail(path_, &readProblem_);
  std::set<std::string> finished;
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t end = std::min(text.find('\n', begin), text.size());
    const std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    const auto json = nlohmann::json::parse(line, nullptr, false);
    if (json.is_object() && json.contains("done") && json["done"].is_string()) {
      finished.insert(json["done"].get<std::string>());
    } else if (json.is_object() && json.contains("sequences") && json["sequences"].is_object()) {
      for (const auto& [entry, last] : json["sequences"].items()) {
        if (!last.is_number_unsigned()) continue;
        auto& known = sequences_[entry];
        known = std::max(known, last.get<std::uint64_t>());
      }
    } else if (auto notice = ParseNoticeLine(line)) {
      auto& known = sequences_[notice->entry];
      known = std::max(known, notice->sequence);
      pending_.push_back(std::move(*notice));
    }
  }
  std::erase_if(pending_, [&](const Notice& notice) { return finished.count(notice.id) != 0; });
  const bool trimmed = pending_.size() > capacity_;
  while (pending_.size() > capacity_) pending_.pop_front();
  for (const auto& notice : pending_) liveBytes_ += NoticeLine(notice).size() + 1;
  fileBytes_ = text.size();
  // Anything but a compacted file (a torn last line, records of deliveries) is rewritten now, so
  // that the next line starts a line of its own and the file begins small.
  if (trimmed || !finished.empty() || (!text.empty() && text.back() != '\n') ||
      !readProblem_.empty()) {
    fileBytes_ = std::numeric_limits<std::uint64_t>::max() / 2;
  }
  CompactIfOutgrown();
}

void Outbox::Record(const std::string& line, bool sync) {
  if (path_.empty()) return;
  std::string error;
  if (sync) {
    AppendDurably(path_, line + "\n", &error);
  } else {
    AppendToFile(path_, line + "\n", &error);
  }
  fileBytes_ += line.size() + 1;
}

void Outbox::Forget(std::deque<Notice>::iterator notice) {
  liveBytes_ -= std::min<std::uint64_t>(liveBytes_, NoticeLine(*notice).size() + 1);
  pending_.erase(notice);
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
    Forget(lowest);
  }
  notice.sequence = ++sequences_[notice.entry];
  const std::string line = NoticeLine(notice);
  bool written = true;
  if (!path_.empty()) {
    written = AppendDurably(path_, line + "\n", error);
    fileBytes_ += line.size() + 1;
  }
  liveBytes_ += line.size() + 1;
  pending_.push_back(std::move(notice));
  CompactIfOutgrown();
  return written;
}

std::optional<Notice> Outbox::Next(const std::string& entry,
                                   const std::function<bool(const Notice&)>& ready) const {
  std::lock_guard lock(mutex_);
  const Notice* best = nullptr;
  for (const auto& notice : pending_) {
    if (notice.entry != entry || (best != nullptr && notice.priority <= best->priority)) continue;
    if (!ready || ready(notice)) best = &notice;
  }
  if (best == nullptr) return std::nullopt;
  return *best;
}

std::vector<std::string> Outbox::Ids(const std::string& entry) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> ids;
  for (const auto& notice : pending_) {
    if (notice.entry == entry) ids.push_back(notice.id);
  }
  return ids;
}

void Outbox::Delivered(const std::string& id) {
  std::lock_guard lock(mutex_);
  const auto found = std::find_if(pending_.begin(), pending_.end(),
                                  [&](const Notice& notice) { return notice.id == id; });
  if (found != pending_.end()) Forget(found);
  // Not synced: lost in a power cut, the notice goes again and the receiver knows its id.
  Record(nlohmann::json{{"done", id}}.dump(), false);
  CompactIfOutgrown();
}

void Outbox::Dropped(const std::string& id, const std::string& reason) {
  std::lock_guard lock(mutex_);
  const auto found = std::find_if(pending_.begin(), pending_.end(),
                                  [&](const Notice& notice) { return notice.id == id; });
  if (found != pending_.end()) Forget(found);
  Record(nlohmann::json{{"done", id}, {"dropped", reason}}.dump(), false);
  CompactIfOutgrown();
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
  for (auto notice = pending_.begin(); notice != pending_.end();) {
    if (std::find(entries.begin(), entries.end(), notice->entry) != entries.end()) {
      ++notice;
      continue;
    }
    Record(nlohmann::json{{"done", notice->id}, {"dropped", "no such entry"}}.dump(), false);
    liveBytes_ -= std::min<std::uint64_t>(liveBytes_, NoticeLine(*notice).size() + 1);
    notice = pending_.erase(notice);
    ++dropped;
  }
  std::erase_if(sequences_, [&](const auto& known) {
    return std::find(entries.begin(), entries.end(), known.first) == entries.end();
  });
  CompactIfOutgrown();
  return dropped;
}

std::vector<Notice> Outbox::Pending() const {
  std::lock_guard lock(mutex_);
  return {pending_.begin(), pending_.end()};
}

std::string Outbox::SequencesLine() const {
  return nlohmann::json{{"sequences", sequences_}}.dump(-1, ' ', false,
                                                        nlohmann::json::error_handler_t::replace);
}

void Outbox::CompactIfOutgrown() {
  const std::uint64_t room = 2 * liveBytes_ + kCompactSlackBytes;
  if (path_.empty() || fileBytes_ <= room || fileBytes_ <= compactFailedAt_ + kCompactSlackBytes) {
    return;
  }
  // The numbers given so far first: they go on after a restart even when nothing is pending.
  std::string text = SequencesLine() + "\n";
  for (const auto& notice : pending_) text += NoticeLine(notice) + "\n";
  std::string error;
  if (ReplaceFile(path_, text, &error)) {
    fileBytes_ = text.size();
    compactFailedAt_ = 0;
  } else {
    compactFailedAt_ = fileBytes_;
  }
}

}  // namespace corvale::host::notify
