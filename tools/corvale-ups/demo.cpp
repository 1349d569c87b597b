// The power-failure story on the simulator, with nothing installed and nothing configured.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tools/common/temporary_directory.h"
#include "tools/corvale-ups/commands.h"
#include "tools/corvale-ups/scenario.h"
#include "tools/upspeer/ups_peer.h"

namespace corvale {

namespace fs = std::filesystem;

namespace {

std::vector<ScenarioStep> LoadStory(const std::string& file) {
  if (file.empty()) {
    std::istringstream in(kPowerFailureScenario);
    return ParseScenario(in, "power-failure.txt");
  }
  std::ifstream in(file);
  if (!in) throw std::invalid_argument("cannot read the scenario " + file);
  return ParseScenario(in, file);
}

std::string Seconds(std::chrono::steady_clock::duration elapsed) {
  char text[16];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(elapsed).count());
  return text;
}

}  // namespace

int RunDemo(const DemoOptions& options, std::atomic<bool>& stop) {
  std::vector<ScenarioStep> story;
  try {
    story = LoadStory(options.scenarioFile);
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "corvale-ups: %s\n", error.what());
    return kExitUsage;
  }
  const auto start = std::chrono::steady_clock::now();
  TemporaryDirectory scratch("corvale-demo");
  Setup setup{RegistryTree(scratch.Path() / "registry"), (scratch.Path() / "devices").string(),
              "COM1"};
  fs::create_directories(setup.registry.Root());
  fs::create_directories(setup.deviceDirectory);
  UpsPeer ups;
  fs::create_symlink(ups.DevicePath(), fs::path(setup.deviceDirectory) / "COM1");
  if (auto problem = PrepareSetup(setup)) {
    std::fprintf(stderr, "corvale-ups: %s\n", problem->c_str());
    return kExitFailure;
  }
  std::unique_ptr<DriverLibrary> driver;
  try {
    driver = std::make_unique<DriverLibrary>(options.library);
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "corvale-ups: %s\n", error.what());
    return kExitNoLibrary;
  }

  std::printf("Demo: a simulated UPS on %s, linked as COM1 in %s\n", ups.DevicePath().c_str(),
              setup.deviceDirectory.c_str());
  std::printf("      registry stand-in in %s; driver %s\n\n", setup.registry.Root().c_str(),
              driver->Path().c_str());
  std::fflush(stdout);

  EventLog log(options.json);
  std::optional<std::chrono::steady_clock::duration> outputOffAt, outputOnAt;
  ups.OnOutputChange([&](bool on) {
    (on ? outputOnAt : outputOffAt) = std::chrono::steady_clock::now() - start;
    log.Report(Note(
        "ups", on ? "the UPS switched its output back on" : "the UPS switched its output off"));
  });

  std::string message;
  const int started = StartDriver(*driver, setup, &message);
  if (started != kExitOk) {
    std::fprintf(stderr, "corvale-ups: %s\n", message.c_str());
    return started;
  }

  std::thread player([&] {
    PlayScenario(ups, story, stop,
                 [&](const std::string& said) { log.Report(Note("simulator", said)); });
    stop = true;
    driver->CancelWait();
  });
  MonitorOptions monitor;
  monitor.turnOffDelay = options.turnOffDelay;
  monitor.onLowBattery = [&] {
    log.Report(Note("low-battery", "a real host would save its work and shut down now"));
  };
  Monitor(*driver, setup, monitor, stop, log);
  stop = true;
  player.join();

  // What happened, as seen from the line, the host and the registry.
  const auto frames = ups.Frames();
  int polls = 0, silences = 0, turnOffs = 0;
  for (const auto& frame : frames) {
    if (const auto command = ParseCommandFrame(frame.bytes)) {
      polls += command->letter == 'L';
      silences += command->letter == 'B';
      turnOffs += command->letter == 'S';
    }
  }
  std::string states;
  bool acknowledged = false;
  std::vector<std::uint32_t> seen;
  for (const auto& event : log.Events()) {
    if (event.kind == "state" && event.state) {
      states += (states.empty() ? "" : " -> ") + std::string(StateName(*event.state));
      seen.push_back(*event.state);
    }
    acknowledged = acknowledged || (event.kind == "turn-off" &&
                                    event.message.find("acknowledged") != std::string::npos);
  }
  const auto values = PublishedValues(setup.registry);
  std::string published;
  for (const auto& [name, value] : values) published += " " + name + "=\"" + value + "\"";
  const auto delays = ups.TurnOffDelays();

  std::printf("\nSummary (%s)\n", Seconds(std::chrono::steady_clock::now() - start).c_str());
  std::printf(
      "  on the line: %zu frames from the driver (%d polls, %d silence, %d turn-off), %d invalid\n",
      frames.size(), polls, silences, turnOffs, ups.InvalidFrames());
  std::printf("  host saw:    %s\n", states.c_str());
  if (delays.empty()) {
    std::printf("  turn-off:    not ordered\n");
  } else {
    std::printf("  turn-off:    ordered with a %u s delay, %s; output off at %s, back on at %s\n",
                delays.front(), acknowledged ? "acknowledged" : "not acknowledged",
                outputOffAt ? Seconds(*outputOffAt).c_str() : "-",
                outputOnAt ? Seconds(*outputOnAt).c_str() : "-");
  }
  std::printf("  registry:   %s\n", published.c_str());
  std::fflush(stdout);

  // The story is whole when the host saw each stage and the UPS did what it was told.
  const auto sawInOrder = [&](std::initializer_list<std::uint32_t> wanted) {
    auto at = seen.begin();
    for (auto state : wanted) {
      at = std::find(at, seen.end(), state);
      if (at == seen.end()) return false;
    }
    return true;
  };
  const bool whole = ups.InvalidFrames() == 0 && sawInOrder({1, 2, 4, 8, 1}) && acknowledged &&
                     outputOffAt && outputOnAt;
  if (!whole) std::printf("  the story did not run as expected\n");
  return whole ? kExitOk : kExitFailure;
}

}  // namespace corvale
