// The durable outbox of notices: each appended and on the disk before its first try, each
// delivery or drop recorded after it, so that a restart (or a power cut) loses none and a
// receiver may see one twice at most (the id tells it). JSON lines beside the history, compacted
// to what is still due whenever the file outgrows it, so that its size follows the capacity
// however long a receiver stays away.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvale::host::notify {

struct Notice {
  std::string id;     // unique: a receiver may drop a repeat
  std::string entry;  // the [[notify]] entry it goes through
  std::string event;  // an event's name, "reminder", "blip" or "test"
  std::string ups;
  std::uint32_t state = 0;
  std::string message;
  std::chrono::system_clock::time_point time;  // when it happened
  // Numbered per entry as it goes into the outbox, on and on across restarts: a receiver orders
  // by it, and a gap is a notice it never got.
  std::uint64_t sequence = 0;
  int priority = 3;  // 5 urgent (low battery, shutdown, kill-power) to 1
  // When it went into the outbox: how late it goes, and how old it is, count from here.
  std::chrono::system_clock::time_point queued = std::chrono::system_clock::now();
  friend bool operator==(const Notice&, const Notice&) = default;
};

// A new id: 128 random bits in hexadecimal.
std::string NewNoticeId();

class Outbox {
 public:
  // Reads what `path` holds still due; an empty path keeps nothing on the disk.
  Outbox(std::string path, std::size_t capacity);
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // Numbered, appended and synced to the disk; false with `error` when the disk refused (the
  // notice is kept in memory and still goes). Past the capacity the oldest notice of the lowest
  // priority is dropped and counted.
  bool Add(Notice notice, std::string* error);
  // The most urgent of `entry`'s notices (the oldest among equals) that `ready` accepts.
  std::optional<Notice> Next(const std::string& entry,
                             const std::function<bool(const Notice&)>& ready = nullptr) const;
  std::vector<std::string> Ids(const std::string& entry) const;
  void Delivered(const std::string& id);
  // Given up (too old, refused): recorded like a delivery, with the reason.
  void Dropped(const std::string& id, const std::string& reason);
  // Notices of `entry` dropped for room and not yet told: the next delivered one says so.
  std::size_t DroppedCount(const std::string& entry) const;
  void ForgetDropped(const std::string& entry, std::size_t told);
  std::size_t Queued(const std::string& entry) const;
  std::optional<std::chrono::system_clock::time_point> OldestQueued(const std::string& entry) const;
  std::vector<Notice> Pending() const;
  // Drops what waits for an entry the configuration no longer has; how many.
  std::size_t DropAllBut(const std::vector<std::string>& entries);
  // Why the file was not read at the start (not a regular file: it is replaced); empty when it
  // was, or was not there.
  const std::string& ReadProblem() const { return readProblem_; }

 private:
  void Record(const std::string& line, bool sync);
  void Forget(std::deque<Notice>::iterator notice);
  std::string SequencesLine() const;
  void CompactIfOutgrown();

  std::string path_;
  std::size_t capacity_;
  std::string readProblem_;
  mutable std::mutex mutex_;
  std::deque<Notice> pending_;
  std::vector<std::pair<std::string, std::size_t>> droppedForRoom_;
  std::map<std::string, std::uint64_t> sequences_;  // the last number given, per entry
  // The file's size as this wrote it, and the bytes of what it must keep (the pending notices).
  std::uint64_t fileBytes_ = 0, liveBytes_ = 0;
  std::uint64_t compactFailedAt_ = 0;  // a compaction that failed is tried again as it grows
};

std::string NoticeLine(const Notice& notice);
std::optional<Notice> ParseNoticeLine(const std::string& line);

}  // namespace corvale::host::notify
