// The shutdown plan at work in the service, one UPS's stages each: stages due set FSD for their
// machines' sessions on that UPS, the power's return releases them and wakes them, each machine's
// time to shut down is kept, and that UPS's battery measure is held against what its stages need.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/config.h"
#include "host/events.h"
#include "host/history.h"
#include "host/log.h"
#include "host/plan/plan.h"
#include "host/status_board.h"

namespace corvale::host::plan {

// Beyond the latest stage and the slowest machine's shutdown, for what the estimate misses: an
// older battery's last minutes, a slower shutdown than the one measured.
inline constexpr double kBatteryMarginSeconds = 60;

// Seconds of battery the plan needs of the `ups`th UPS: its latest timed stage (or this machine's
// own time limit on it, when later), the slowest measured time to shut down, and the margin.
double BatteryNeeds(const Config& config, const std::map<std::string, double>& shutdownTimes,
                    std::size_t ups = 0);
// The stages that follow the `ups`th UPS, in the file's order.
std::vector<Config::Stage> StagesOf(const Config& config, std::size_t ups);
// Whether a history record is of the `ups`th UPS: it names it, or (for the first) it names none
// this machine watches, as records of a single UPS and the service's own did.
bool RecordOf(const Config& config, std::size_t ups, const HistoryRecord& record);
// The plans of each UPS as one: the stages in the file's order, a machine in no stage once, the
// first UPS's need, and a weak battery where any is.
PlanFacts MergedFacts(const Config& config, const std::vector<PlanFacts>& each);

// A machine's time to shut down and what it was measured to: the close of its connection as it
// went down (it said its shutdown command had started), or its logout, which may come before the
// machine is down.
struct ShutdownTime {
  double seconds = 0;
  bool toClose = false;
};
// The slowest recent measure of each machine (by its user), from the history: a later, shorter
// one, which rests on the machine's own word, never makes the plan look safer than what was
// measured before.
std::map<std::string, ShutdownTime> ShutdownMeasures(const std::vector<HistoryRecord>& records);
std::map<std::string, double> ShutdownTimes(const std::vector<HistoryRecord>& records);
// The slower of two measures; on a tie, the one to the connection's close.
ShutdownTime Slower(const ShutdownTime& kept, const ShutdownTime& measured);
// "shuts down in 12.5 s after its FSD, measured to its connection's close as it went down", or to
// its logout, or "its shutdown not yet measured".
std::string MeasuredText(const std::optional<ShutdownTime>& time);

class Coordinator {
 public:
  struct Actions {
    std::function<void(const std::vector<std::string>& users)> force;
    // The power is back: no login from now on sees a stage's FSD.
    std::function<void()> powerBack;
    // The power has held: every stage's FSD ends, whoever is still logged in.
    std::function<void()> releaseStages;
    // The sessions of these users that saw their stage's FSD and are still logged in.
    std::function<std::size_t(const std::vector<std::string>& users)> stageSessionsLeft;
    std::function<std::map<std::string, std::vector<std::string>>()> loggedIn;
    std::function<void(EventKind, const std::string& message)> raise;
    // A record of the plan's own for the history ("stage", "wake").
    std::function<void(const std::string& event, const std::string& message)> record;
  };
  // The plan of the `ups`th UPS of the file: its stages, its observations, its sessions.
  Coordinator(const Config& config, Actions actions, Logger& log, std::size_t ups = 0);

  // Where the run before this one left the plan, from the newest records of the history
  // (oldest first), this UPS's: the time on battery goes on counting, the stages that went stay
  // gone, those not yet woken are woken, and the battery's verdict stands as last said. Before the
  // first observation.
  void Resume(const std::vector<HistoryRecord>& records);
  // Each poll, on the host's thread.
  void Observe(const Observation& observation);
  // A reloaded file: the time on battery so far counts, stages that went stay gone.
  void Reconfigure(const Config& config);
  // Each machine's time from its FSD to the end of its session (to its logout, unless
  // `toClose`); the slower of it and the one known counts.
  void MachineDown(const std::string& user, double seconds, bool toClose = false);
  void SeedShutdownTimes(std::map<std::string, ShutdownTime> times);
  // Measures to a logout, as the history's records older than the words tell.
  void SeedShutdownTimes(const std::map<std::string, double>& times);
  // The battery's newest measure (time from on battery to low battery).
  void BatteryMeasured(double secondsToLow);
  PlanFacts Facts() const;

 private:
  // Under mutex_: the event to raise when the battery's verdict changed.
  std::optional<std::pair<EventKind, std::string>> Judge();

  // Sends the magic packets of a stage whose machines are down; the tries left, and when.
  void Wake(const Observation& observation);
  struct PendingWake {
    Config::Stage stage;
    int sent = 0;
    Clock::time_point next{};
    bool waitingSaid = false;
  };

  // "stage \"x\" goes (after 8 s on battery, UPS b)": the UPS named where there are several.
  std::string UpsName() const;  // the UPS these stages follow; empty where none is known
  std::string OfTheUps() const;

  Actions actions_;
  Logger& log_;
  const std::size_t ups_;
  std::vector<PendingWake> wakes_;  // the host's thread's alone
  mutable std::mutex mutex_;
  Config config_;
  PlanRunner runner_;
  std::map<std::string, ShutdownTime> shutdownTimes_;
  std::map<std::string, double> SecondsByUser() const;  // under mutex_
  std::optional<double> secondsToLow_;
  bool weak_ = false;
  // Resumed with stages gone in a failure the last run left, the UPS not heard yet in this run.
  bool unheard_ = false;
};

}  // namespace corvale::host::plan
