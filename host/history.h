// The power-event history: every event (the service's start and stop included) as one JSON line
// in a file that outlives the service, written and flushed to disk on a thread of its own so that
// a slow, full or read-only disk never holds up a poll or the shutdown. The file is bounded: at
// `maxBytes` it becomes FILE.1 (the one before is dropped) and a new one begins. A rotation that
// fails is logged, and the file grows until one works: records are worth more than the bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/log.h"

namespace corvale::host {

struct HistoryRecord {
  std::chrono::system_clock::time_point time;
  std::string event;  // an event's name, or "service-started", "service-stopped"
  std::string ups;
  std::uint32_t state = 0;  // the driver's state when it happened; 0 for the service's own
  std::string message;
  // On "online" and "service-stopped" after "on-battery": how long the UPS ran on battery. On
  // the first "low-battery" of a power failure: how long the battery lasted until it ran low,
  // the one honest measure of what it holds.
  std::optional<double> onBatterySeconds;
  // On "machine-down": the other machine (its address, its NUT user) and its time from FSD to
  // the end of its session: "close" when it said its shutdown command had started and its
  // connection then closed as it went down; "logout" (or empty, in records older than the word)
  // when it logged out, or left without saying so: the machine may have needed longer. And when
  // it said its command started, after its FSD (negative: before it).
  std::string machine = {};
  std::optional<double> shutdownSeconds = {};
  std::string user = {};
  std::string measuredTo = {};
  std::optional<double> commandStartedSeconds = {};

  bool operator==(const HistoryRecord&) const = default;
};

// {"time":"2026-12-08T12:00:00.250Z","event":"on-battery",...}; nothing from a line that is not
// a whole record (a line torn by a power cut).
std::string HistoryLine(const HistoryRecord& record);
std::optional<HistoryRecord> ParseHistoryLine(const std::string& line);
// Parses "2026-12-08T12:00:00Z" (fractions and a +hh:mm offset allowed).
std::optional<std::chrono::system_clock::time_point> ParseTimestamp(const std::string& text);

// The records of FILE.1 and FILE, oldest first, those before `since` left out; torn or foreign
// lines are skipped. Durations are filled in for "online" records whose on-battery period began
// in an earlier run of the service.
std::vector<HistoryRecord> ReadHistory(
    const std::string& path,
    std::optional<std::chrono::system_clock::time_point> since = std::nullopt);

// One history file as ReadRecentHistory reads it, from its end: the file system's by default.
class HistoryFile {
 public:
  virtual ~HistoryFile() = default;
  virtual std::uint64_t Size() = 0;
  // Up to `count` bytes from `offset`; fewer only at the end or when reading fails.
  virtual std::size_t ReadAt(std::uint64_t offset, char* into, std::size_t count) = 0;
};
// Nothing when the file is not there or cannot be read.
using HistoryOpener = std::function<std::unique_ptr<HistoryFile>(const std::string& file)>;
std::unique_ptr<HistoryFile> OpenHistoryFile(const std::string& file);

// The most records ReadRecentHistory gives, whatever it is asked for.
inline constexpr std::size_t kMostRecentRecords = 1000;
// The newest `limit` records (at most kMostRecentRecords) of FILE and FILE.1 from `since` on,
// oldest first, read backwards from FILE's end: the work and memory are bounded by `limit`
// whatever the files' size (torn and foreign lines count against that bound too, and so may
// shorten the answer). Records are taken to be in the order of their times: reading stops at the
// first one before `since`. A period's length that the writer did not record is filled in as
// ReadHistory does when the record that began it is within the bound.
std::vector<HistoryRecord> ReadRecentHistory(
    const std::string& path, std::optional<std::chrono::system_clock::time_point> since,
    std::size_t limit, const HistoryOpener& open = OpenHistoryFile);

// Follows the records in order and gives those that end an on-battery period ("online") or
// interrupt one ("service-stopped") its length so far, and its first "low-battery" the time
// until then, where they do not carry it already.
// A low battery this soon after the failure began came with it: the battery had not recharged
// since an earlier one, and this measures nothing.
inline constexpr std::chrono::milliseconds kArrivedLow{500};

class BatteryPeriod {
 public:
  void Mark(HistoryRecord& record);

 private:
  std::optional<std::chrono::system_clock::time_point> since_;
  bool lowSeen_ = false;
  // A power failure first seen right after a start began while nobody watched: when is unknown,
  // so it gives no measure of the battery.
  bool afterStart_ = false, startUnknown_ = false;
};

// The same for each UPS by the name its records carry: one UPS's failure, low battery or return
// says nothing of another's. The service's own records (its start and stop, which name the
// machine's UPSes together) reach every UPS's.
class BatteryPeriods {
 public:
  void Mark(HistoryRecord& record);

 private:
  static constexpr std::size_t kMaxUpsPeriods = 64;  // the most UPS entries a machine may have
  std::map<std::string, BatteryPeriod> byUps_;
  BatteryPeriod unseen_;  // where a UPS not named yet begins: the service's records so far
};

// The power failures that ran the battery low, oldest first: when, and after how many seconds on
// battery.
struct BatteryMeasure {
  std::chrono::system_clock::time_point time;
  double secondsToLow = 0;
};
std::vector<BatteryMeasure> BatteryMeasures(const std::vector<HistoryRecord>& records);

class HistoryWriter {
 public:
  static constexpr std::uintmax_t kMaxBytes = 1 << 20;
  static constexpr std::size_t kMostQueued = 1024;
  HistoryWriter(std::string path, Logger& log, std::uintmax_t maxBytes = kMaxBytes);
  ~HistoryWriter();  // writes what is queued, then stops
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  // Queues the record and returns at once; the oldest queued record is dropped (and counted)
  // when the disk has fallen `kMostQueued` behind. Fills in on-battery durations.
  void Append(HistoryRecord record);
  // Waits until everything queued so far was written or given up on (tests, the service's stop).
  void Flush();

 private:
  void Write();
  bool WriteLine(const std::string& line, std::string* error);
  void Rotate();

  std::string path_;
  Logger& log_;
  std::uintmax_t maxBytes_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queue_;
  std::size_t inFlight_ = 0;
  std::size_t dropped_ = 0;
  bool stopping_ = false;
  bool failing_ = false;  // logged once when writing starts failing, once when it works again
  bool rotationFailing_ = false;  // the same for rotating; the writer thread's own
  BatteryPeriods period_;
  std::thread writer_;
};

}  // namespace corvale::host
