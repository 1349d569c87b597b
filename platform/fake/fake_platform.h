// A scripted stand-in for the OS, for unit tests and fuzzing. It records every platform call with
// its arguments in order, serves scripted reads and registry contents, and keeps a virtual clock so
// that waits take no real time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace fake {

// One scripted answer to SerialRead: `bytes` arrive (cut to the reader's capacity) after
// `elapsedMs` of virtual time, or the read fails outright.
struct ReadResult {
  bool ok = true;
  std::string bytes;
  std::uint32_t elapsedMs = 0;
};

struct RegistryValue {
  std::string data;  // raw bytes, as RegistryQueryValue hands them out
  bool isDword = false;
};

// The reply a UPS gives for a status word: "$", ten letters A/B, CR.
std::string ReplyFor(std::uint16_t replyBits);

struct Platform {
  std::recursive_mutex mutex;

  // --- Serial port script.
  bool openFails = false;
  bool buildSettingsFails = false;
  int applySettingsFailsAtCall = -1;  // 0-based index of the SerialApplySettings call to fail
  bool writeFails = false;
  std::deque<ReadResult> scriptedReads;  // served first, one per read
  // Bytes the UPS has sent that nobody has read yet; a read with nothing here times out (1000 ms).
  std::string lineInput;
  // Plays the UPS: called with each written frame, returns what it sends back (appended to
  // lineInput), or nothing to stay silent.
  std::function<std::optional<std::string>(const std::string& frame)> ups;

  // --- Registry: key path -> value name -> value. A key not here does not exist.
  std::map<std::string, std::map<std::string, RegistryValue>> keys;
  std::set<std::string> failingOpens;   // key paths whose opening fails (access denied)
  std::set<std::string> failingWrites;  // value names whose setting fails

  // --- Observations.
  std::vector<std::string> calls;  // "Name arguments", in order
  bool recordCalls = true;         // off for benchmarks, where the log would be the cost
  std::uint64_t nowMs = 0;         // virtual clock: sleeps and read time-outs advance it
  int openPorts = 0;
  int openKeys = 0;
  int closedHandleUses = 0;                    // any call made on a port handle after it was closed
  std::function<void(std::uint32_t)> onSleep;  // runs after each sleep, e.g. to cancel a wait

  // Clears the script and the observations, and creates the two UPS service keys.
  void Reset();

  // The calls whose name starts with `prefix`, in order (the name included).
  std::vector<std::string> CallsStartingWith(const std::string& prefix);
  std::vector<std::string> FramesWritten();
  std::vector<std::uint32_t> Sleeps();
  // "Name=value" for each value set under the status key, in order.
  std::vector<std::string> Published();

  void SetPort(const std::string& data);  // raw "Port" data, NUL included if wanted
  std::string Value(const std::string& keyPath, const std::string& name);

  // internal bookkeeping
  std::set<std::intptr_t> livePorts;
  std::set<std::intptr_t> closedPorts;
  std::map<std::intptr_t, std::string> liveKeys;
  std::intptr_t nextHandle = 100;
  int applyCalls = 0;
};

Platform& Fake();

inline constexpr char kServiceKey[] = "System\\CurrentControlSet\\Services\\UPS";
inline constexpr char kStatusKey[] = "System\\CurrentControlSet\\Services\\UPS\\Status";

}  // namespace fake
