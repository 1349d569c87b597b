#include "host/history.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "host/events.h"
#include "host/host_os.h"
#include "host/utf8_path.h"

namespace corvale::host {

namespace {

using SystemClock = std::chrono::system_clock;

std::string MillisecondTimestamp(SystemClock::time_point when) {
  const auto since = when.time_since_epoch();
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
  std::string text = UtcTimestamp(when);  // "...:SSZ"
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(milliseconds));
  text.insert(text.size() - 1, fraction);
  return text;
}

}  // namespace

std::optional<SystemClock::time_point> ParseTimestamp(const std::string& text) {
  int year, month, day, hour, minute, second, used = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                  &second, &used) != 6 ||
      used != 19 || year < 1970 || year > 2200 || month < 1 || month > 12 || day < 1 || day > 31 ||
      hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  std::size_t at = 19;
  long long nanoseconds = 0;  // whole numbers: a double would move the time by a few
  if (at < text.size() && text[at] == '.') {
    std::size_t digits = 0;
    for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
      if (digits < 9) nanoseconds = nanoseconds * 10 + (text[at] - '0');
    }
    if (digits == 0) return std::nullopt;
    for (; digits < 9; ++digits) nanoseconds *= 10;
  }
  long long offset = 0;
  const std::string zone = text.substr(at);
  if (zone == "Z" || zone == "z") {
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
    int hours, minutes;
    if (std::sscanf(zone.c_str() + 1, "%2d:%2d", &hours, &minutes) != 2) return std::nullopt;
    offset = (zone[0] == '+' ? 1 : -1) * (hours * 3600LL + minutes * 60LL);
  } else {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok()) return std::nullopt;  // 30 February
  return std::chrono::sys_days{date} + std::chrono::hours(hour) + std::chrono::minutes(minute) +
         std::chrono::seconds(second - offset) +
         std::chrono::duration_cast<SystemClock::duration>(std::chrono::nanoseconds(nanoseconds));
}

std::string HistoryLine(const HistoryRecord& record) {
  nlohmann::json line = {{"time", MillisecondTimestamp(record.time)},
                         {"event", record.event},
                         {"ups", record.ups},
                         {"state", record.state},
                         {"message", record.message}};
  if (record.onBatterySeconds) line["on_battery_seconds"] = *record.onBatterySeconds;
  if (!record.machine.empty()) line["machine"] = record.machine;
  if (record.shutdownSeconds) line["shutdown_seconds"] = *record.shutdownSeconds;
  if (!record.user.empty()) line["user"] = record.user;
  if (!record.measuredTo.empty()) line["measured_to"] = record.measuredTo;
  if (record.commandStartedSeconds) line["command_started_seconds"] = *record.commandStartedSeconds;
  // Invalid UTF-8 from a hook's message must not make the line unwritable.
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<HistoryRecord> ParseHistoryLine(const std::string& line) {
  const auto json = nlohmann::json::parse(line, nullptr, false);
  if (json.is_discarded() || !json.is_object()) return std::nullopt;
  const auto text = [&](const char* key) -> const std::string* {
    const auto found = json.find(key);
    return found != json.end() && found->is_string() ? found->get_ptr<const std::string*>()
                                                     : nullptr;
  };
  const std::string* time = text("time");
  const std::string* event = text("event");
  if (time == nullptr || event == nullptr) return std::nullopt;
  const auto when = ParseTimestamp(*time);
  if (!when) return std::nullopt;
  HistoryRecord record;
  record.time = *when;
  record.event = *event;
  if (const std::string* ups = text("ups")) record.ups = *ups;
  if (const std::string* message = text("message")) record.message = *message;
  if (const auto state = json.find("state"); state != json.end() && state->is_number_unsigned()) {
    record.state = state->get<std::uint32_t>();
  }
  if (const auto seconds = json.find("on_battery_seconds");
      seconds != json.end() && seconds->is_number()) {
    record.onBatterySeconds = seconds->get<double>();
  }
  if (const std::string* machine = text("machine")) record.machine = *machine;
  if (const std::string* user = text("user")) record.user = *user;
  if (const auto seconds = json.find("shutdown_seconds");
      seconds != json.end() && seconds->is_number()) {
    record.shutdownSeconds = seconds->get<double>();
  }
  if (const std::string* measuredTo = text("measured_to")) record.measuredTo = *measuredTo;
  if (const auto seconds = json.find("command_started_seconds");
      seconds != json.end() && seconds->is_number()) {
    record.commandStartedSeconds = seconds->get<double>();
  }
  return record;
}

void BatteryPeriod::Mark(HistoryRecord& record) {
  if (record.event == "service-started") afterStart_ = true;
  if (record.event == "on-battery" && !since_) {
    since_ = record.time;
    lowSeen_ = false;  // a new power failure: its own measure
    startUnknown_ = afterStart_;
  }
  const bool ends = record.event == "online";
  if (ends) afterStart_ = false;
  const bool firstLow = record.event == "low-battery" && !lowSeen_ && !startUnknown_ && since_ &&
                        record.time - *since_ >= kArrivedLow;
  if ((ends || firstLow || record.event == "service-stopped") && since_ &&
      !record.onBatterySeconds) {
    record.onBatterySeconds = std::chrono::duration<double>(record.time - *since_).count();
  }
  lowSeen_ = (lowSeen_ || record.event == "low-battery") && !ends;
  if (ends) {
    since_.reset();
    startUnknown_ = false;
  }
}

void BatteryPeriods::Mark(HistoryRecord& record) {
  if (record.event == "service-started" || record.event == "service-stopped") {
    for (auto& [ups, period] : byUps_) {
      if (ups == record.ups) {
        period.Mark(record);  // one UPS's: the record is its own
      } else {
        HistoryRecord copy = record;
        period.Mark(copy);
      }
    }
    HistoryRecord copy = record;
    unseen_.Mark(copy);
    return;
  }
  auto known = byUps_.find(record.ups);
  if (known == byUps_.end()) {
    // The file is the service account's to write: a flood of made-up names gets no period of
    // its own beyond as many as a machine may watch, or every start record would copy to each.
    if (byUps_.size() >= kMaxUpsPeriods) {
      BatteryPeriod scratch = unseen_;
      scratch.Mark(record);
      return;
    }
    known = byUps_.emplace(record.ups, unseen_).first;
  }
  known->second.Mark(record);
}

std::vector<BatteryMeasure> BatteryMeasures(const std::vector<HistoryRecord>& records) {
  std::vector<BatteryMeasure> measures;
  for (const auto& record : records) {
    if (record.event == "low-battery" && record.onBatterySeconds) {
      measures.push_back({record.time, *record.onBatterySeconds});
    }
  }
  return measures;
}

std::vector<HistoryRecord> ReadHistory(const std::string& path,
                                       std::optional<SystemClock::time_point> since) {
  std::vector<HistoryRecord> records;
  BatteryPeriods period;  // one that began before a restart of the service ends in a later run
  const auto take = [&](const std::string& line) {
    auto record = ParseHistoryLine(line);
    if (!record) return;
    period.Mark(*record);
    if (since && record->time < *since) return;
    records.push_back(std::move(*record));
  };
  for (const std::string& name : {path + ".1", path}) {
    std::string why;
    const auto file = OpenRegularFile(name, &why);
    if (!file) continue;
    std::string pending;
    std::array<char, 64 * 1024> block;
    for (std::uint64_t offset = 0;;) {
      const std::size_t count = file->ReadAt(offset, block.data(), block.size());
      if (count == 0) break;
      offset += count;
      pending.append(block.data(), count);
      std::size_t begin = 0;
      for (std::size_t end; (end = pending.find('\n', begin)) != std::string::npos;
           begin = end + 1) {
        take(pending.substr(begin, end - begin));
      }
      pending.erase(0, begin);
    }
    if (!pending.empty()) take(pending);
  }
  return records;
}

namespace {

class FileOnDisk : public HistoryFile {
 public:
  explicit FileOnDisk(std::unique_ptr<ReadableFile> file) : file_(std::move(file)) {}
  std::uint64_t Size() override { return file_->Size(); }
  std::size_t ReadAt(std::uint64_t offset, char* into, std::size_t count) override {
    return file_->ReadAt(offset, into, count);
  }

 private:
  std::unique_ptr<ReadableFile> file_;
};

// Bytes read per record wanted, and beyond them for a period's beginning: what one request may
// cost. Records are about 200 bytes.
constexpr std::uint64_t kBytesPerRecord = 2048;
constexpr std::uint64_t kPeriodSearchBytes = 128 * 1024;
constexpr std::size_t kBlockBytes = 16 * 1024;
// A longer line is none of ours; it is skipped without being held.
constexpr std::size_t kLongestLine = 16 * 1024;

// One file's lines from its end, newest first, each read block counted against `budget`.
class LinesFromTheEnd {
 public:
  LinesFromTheEnd(HistoryFile& file, std::uint64_t& budget)
      : file_(file), budget_(budget), position_(file.Size()) {}

  // The line before the last one given (without its newline), or nothing at the file's start or
  // when the budget is spent. A line too long to hold comes as an empty one.
  std::optional<std::string> Previous() {
    for (;;) {
      // `pending_` ends with the newline of the line to give next (unless that is the file's
      // last line and it has none).
      const std::size_t body =
          !pending_.empty() && pending_.back() == '\n' ? pending_.size() - 1 : pending_.size();
      const std::size_t newline = body == 0 ? std::string::npos : pending_.rfind('\n', body - 1);
      if (newline != std::string::npos || (position_ == 0 && !pending_.empty())) {
        const std::size_t begin = newline == std::string::npos ? 0 : newline + 1;
        std::string line = tooLong_ ? std::string() : pending_.substr(begin, body - begin);
        tooLong_ = false;
        pending_.resize(begin);
        return line;
      }
      if (position_ == 0) {
        exhausted_ = true;
        return std::nullopt;
      }
      if (budget_ == 0 || broken_) return std::nullopt;
      if (body > kLongestLine) {
        tooLong_ = true;
        pending_ = "\n";  // stands for the long line's own newline
      }
      const std::size_t count =
          static_cast<std::size_t>(std::min<std::uint64_t>({kBlockBytes, position_, budget_}));
      std::string block(count, '\0');
      budget_ -= count;
      if (file_.ReadAt(position_ - count, block.data(), count) != count) {
        broken_ = true;  // it shrank, or reading failed: what is before is not to be trusted
        return std::nullopt;
      }
      position_ -= count;
      pending_.insert(0, block);
    }
  }
  // Every line was given, back to the file's first.
  bool Exhausted() const { return exhausted_; }

 private:
  HistoryFile& file_;
  std::uint64_t& budget_;
  std::uint64_t position_;
  std::string pending_;  // read, not yet given: the file's bytes from `position_`
  bool tooLong_ = false;
  bool exhausted_ = false;
  bool broken_ = false;
};

bool EndsAPeriodWithoutItsLength(const HistoryRecord& record) {
  return (record.event == "online" || record.event == "service-stopped") &&
         !record.onBatterySeconds;
}

}  // namespace

std::unique_ptr<HistoryFile> OpenHistoryFile(const std::string& file) {
  // The service's account writes this folder: a FIFO there must not hang root's check-config, nor
  // a link lead it to another file.
  std::string why;
  auto opened = OpenRegularFile(file, &why);
  if (!opened) return nullptr;
  return std::make_unique<FileOnDisk>(std::move(opened));
}

std::vector<HistoryRecord> ReadRecentHistory(const std::string& path,
                                             std::optional<SystemClock::time_point> since,
                                             std::size_t limit, const HistoryOpener& open) {
  limit = std::min(limit, kMostRecentRecords);
  std::uint64_t budget = limit * kBytesPerRecord + kPeriodSearchBytes;
  // Both opened at once, so that a rotation meanwhile is unlikely to show one file twice.
  const std::unique_ptr<HistoryFile> files[] = {open(path), open(path + ".1")};
  std::vector<HistoryRecord> wanted;   // newest first
  std::vector<HistoryRecord> earlier;  // older ones, newest first, where periods began
  bool collecting = limit > 0;
  bool searchPeriods = false;  // beyond what is wanted: for a period's beginning
  bool done = false;
  // Read back to the history's first record: the periods of all that was read are known.
  bool fromTheStart = true;
  for (const auto& file : files) {
    if (done) break;
    if (!file) continue;
    LinesFromTheEnd lines(*file, budget);
    while (!done) {
      const auto line = lines.Previous();
      if (!line) break;
      auto record = ParseHistoryLine(*line);
      if (!record) continue;
      if (collecting && (!since || record->time >= *since)) {
        wanted.push_back(std::move(*record));
        collecting = wanted.size() < limit;
        searchPeriods =
            !collecting && std::any_of(wanted.begin(), wanted.end(), EndsAPeriodWithoutItsLength);
        done = !collecting && !searchPeriods;
        continue;
      }
      if (collecting) {
        collecting = false;
        searchPeriods = std::any_of(wanted.begin(), wanted.end(), EndsAPeriodWithoutItsLength);
      }
      if (!searchPeriods) break;
      // An "online" ends every period before it: nothing further back matters.
      done = record->event == "online";
      earlier.push_back(std::move(*record));
    }
    if (!done && !lines.Exhausted()) {  // the budget is spent: what is before is unknown
      fromTheStart = false;
      break;
    }
    if (!searchPeriods && !collecting) break;
  }
  // Oldest first, with the lengths marked as reading everything would (ReadHistory), from the
  // first record whose periods are known.
  bool known = fromTheStart && !done;
  BatteryPeriods period;
  for (auto it = earlier.rbegin(); it != earlier.rend(); ++it) {
    if (known) period.Mark(*it);
    known = known || it->event == "online";
  }
  std::vector<HistoryRecord> records;
  records.reserve(wanted.size());
  for (auto it = wanted.rbegin(); it != wanted.rend(); ++it) {
    if (known) period.Mark(*it);
    known = known || it->event == "online";
    records.push_back(std::move(*it));
  }
  return records;
}

HistoryWriter::HistoryWriter(std::string path, Logger& log, std::uintmax_t maxBytes)
    : path_(std::move(path)), log_(log), maxBytes_(maxBytes) {
  // A power failure that began before a restart goes on in this run: its start is on the disk.
  constexpr std::size_t kRecordsRead = 200;
  for (auto& record : ReadRecentHistory(path_, std::nullopt, kRecordsRead)) period_.Mark(record);
  writer_ = std::thread([this] { Write(); });
}

HistoryWriter::~HistoryWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

void HistoryWriter::Append(HistoryRecord record) {
  std::lock_guard lock(mutex_);
  period_.Mark(record);
  if (queue_.size() >= kMostQueued) {
    queue_.pop_front();
    ++dropped_;
  }
  queue_.push_back(HistoryLine(record) + "\n");
  changed_.notify_all();
}

void HistoryWriter::Flush() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return queue_.empty() && inFlight_ == 0; });
}

bool HistoryWriter::WriteLine(const std::string& line, std::string* error) {
  std::error_code missing;
  const auto size = std::filesystem::file_size(PathFromUtf8(path_), missing);
  if (!missing && size > 0 && size + line.size() > maxBytes_) Rotate();
  return AppendDurably(path_, line, error);
}

void HistoryWriter::Rotate() {
  const std::string older = path_ + ".1";
  std::error_code failed;
  std::filesystem::remove(PathFromUtf8(older), failed);
  if (!failed) std::filesystem::rename(PathFromUtf8(path_), PathFromUtf8(older), failed);
  // Both names must be on the disk before the new file's first record is.
  std::string unsynced;
  if (!failed && !SyncFolderOf(path_, &unsynced)) {
    log_.Log(Priority::kError, "rotating the history " + path_ + ": " + unsynced);
  }
  if (failed && !rotationFailing_) {
    log_.Log(Priority::kError, "cannot rotate the history " + path_ + " to " + older + ": " +
                                   failed.message() + "; it grows past " +
                                   std::to_string(maxBytes_) + " bytes until it can");
  } else if (!failed && rotationFailing_) {
    log_.Log(Priority::kNotice, "the history " + path_ + " rotates again");
  }
  rotationFailing_ = static_cast<bool>(failed);
}

void HistoryWriter::Write() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, with everything written
    std::string line = std::move(queue_.front());
    queue_.pop_front();
    const std::size_t dropped = std::exchange(dropped_, 0);
    ++inFlight_;
    lock.unlock();
    if (dropped != 0) {
      log_.Log(Priority::kWarning, "the history fell behind the disk: " + std::to_string(dropped) +
                                       " older records were dropped");
    }
    std::string error;
    const bool written = WriteLine(line, &error);
    if (!written && !failing_) {
      log_.Log(Priority::kError, "cannot write the history " + path_ + ": " + error +
                                     "; events are not recorded there until it works again");
    } else if (written && failing_) {
      log_.Log(Priority::kNotice, "the history " + path_ + " is written again");
    }
    failing_ = !written;
    lock.lock();
    --inFlight_;
    changed_.notify_all();
  }
}

}  // namespace corvale::host
