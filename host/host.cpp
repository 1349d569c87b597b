#include "host/host.h"

#include <filesystem>
#include <fstream>

namespace corvale::host {

Host::Host(DriverLibrary& driver, HostOptions options, Logger& log)
    : driver_(driver),
      options_(std::move(options)),
      log_(log),
      runner_(log),
      dispatcher_(options_.name, options_.eventsCommand, options_.logEvents ? &log : nullptr,
                  runner_),
      policy_(options_.onBatteryLimit),
      supervisor_(
          driver, options_.setup, log, [this](const Observation& o) { Observe(o); },
          options_.timing) {}

Host::~Host() {
  Stop();
  runner_.StopWatching();  // its callbacks use the members below it
}

void Host::Start() {
  poller_ = std::thread([this] { supervisor_.Run(); });
}

void Host::Stop() {
  supervisor_.Stop();
  if (poller_.joinable()) poller_.join();
}

void Host::Observe(const Observation& observation) {
  if (pollListener_) pollListener_(observation);
  for (const auto& event : deriver_.Next(observation)) dispatcher_.Raise(event);
  if (auto reason = policy_.Decide(observation)) ShutDown(*reason, observation.polled);
}

void Host::ShutDownNow(const std::string& reason) {
  const auto latest = supervisor_.Latest();
  ShutDown(reason, latest ? latest->polled : 8u);
}

bool WriteFlagFile(const std::string& path, Logger& log) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  std::ofstream flag(path, std::ios::trunc);
  flag << "the UPS is to be turned off once this host is down\n";
  flag.close();
  if (flag) return true;
  log.Log(Priority::kError, "cannot write the flag file " + path +
                                ": the UPS will not be turned off after the shutdown");
  return false;
}

void Host::ShutDown(const std::string& reason, std::uint32_t state) {
  if (shuttingDown_.exchange(true)) return;  // once, whoever asks
  if (!options_.flagFile.empty()) WriteFlagFile(options_.flagFile, log_);
  dispatcher_.Raise({EventKind::kShutdown, state, reason + ": shutting down"});
  if (options_.beforeShutdown) {
    options_.beforeShutdown([this] { RunShutdownCommand(); });
  } else {
    RunShutdownCommand();
  }
}

void Host::RunShutdownCommand() {
  const auto turnOff = options_.turnOffAfterShutdown;
  const std::string why = "after the shutdown command";
  if (options_.shutdownCommand.empty()) {
    if (options_.shutDownSystem) {
      std::string error;
      if (!ShutDownSystem(options_.name + ": power failure", &error)) {
        log_.Log(Priority::kError, "cannot shut the system down: " + error);
      }
    }
    if (turnOff) OrderTurnOff(*turnOff, why);
    return;
  }
  runner_.Start("shutdown command", options_.shutdownCommand, {{"CORVALE_UPS_NAME", options_.name}},
                std::chrono::seconds(0), [this, turnOff, why](const std::optional<ExitStatus>&) {
                  if (turnOff) OrderTurnOff(*turnOff, why);
                });
}

bool Host::OrderTurnOff(std::uint32_t delay, const std::string& why) {
  const bool acknowledged = driver_.TurnOff(delay) != 0;
  const auto latest = supervisor_.Latest();
  dispatcher_.Raise({EventKind::kKillPower, latest ? latest->polled : 8u,
                     "ordered the UPS off in " + std::to_string(delay) + " s " + why + ": " +
                         (acknowledged ? "acknowledged" : "no reply")});
  return acknowledged;
}

}  // namespace corvale::host
