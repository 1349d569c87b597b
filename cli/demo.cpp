// The power-failure story on the simulator, with nothing installed and nothing configured.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "cli/commands.h"
#include "cli/events.h"
#include "host/agent/follower_source.h"
#include "host/host.h"
#include "host/http/http_server.h"
#include "host/nut/nut_backend.h"
#include "host/nut/nut_server.h"
#include "host/status_board.h"
#include "simulator/scenario.h"
#include "simulator/temporary_directory.h"
#include "simulator/ups_peer.h"

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

int RunDemo(const DemoOptions& options, const std::atomic<bool>& stop) {
  std::vector<ScenarioStep> story;
  try {
    story = LoadStory(options.scenarioFile);
  } catch (const std::invalid_argument& error) {
    return Fail(kExitUsage, error.what());
  }
  const auto start = std::chrono::steady_clock::now();
  TemporaryDirectory scratch("corvale-demo");
  const Setup setup{(scratch.Path() / "registry").string(), (scratch.Path() / "devices").string(),
                    "COM1"};
  fs::create_directories(setup.registry);
  fs::create_directories(setup.deviceDirectory);
  UpsPeer ups;
  fs::create_symlink(ups.DevicePath(), fs::path(setup.deviceDirectory) / "COM1");
  if (auto problem = PrepareSetup(setup)) return Fail(kExitFailure, *problem);
  std::unique_ptr<DriverLibrary> driver;
  try {
    driver = std::make_unique<DriverLibrary>(options.library);
  } catch (const std::runtime_error& error) {
    return Fail(kExitNoLibrary, error.what());
  }

  // With --json, standard output carries JSON only; the narration goes to standard error.
  std::FILE* narration = options.json ? stderr : stdout;
  std::fprintf(narration, "Demo: a simulated UPS on %s, linked as COM1 in %s\n",
               ups.DevicePath().c_str(), setup.deviceDirectory.c_str());
  std::fprintf(narration, "      registry stand-in in %s; driver %s\n\n", setup.registry.c_str(),
               driver->Path().c_str());
  std::fflush(narration);

  EventLog log(options.json);
  std::mutex seenMutex;
  std::vector<std::uint32_t> seen;  // each state a poll returned, repeats folded
  bool acknowledged = false;
  std::optional<std::chrono::steady_clock::duration> outputOffAt, outputOnAt;
  ups.OnOutputChange([&](bool on) {
    std::lock_guard lock(seenMutex);
    (on ? outputOnAt : outputOffAt) = std::chrono::steady_clock::now() - start;
    log.Report(Note(
        "ups", on ? "the UPS switched its output back on" : "the UPS switched its output off"));
  });

  host::Logger hostLog(false, narration);
  host::HostOptions hostOptions;
  hostOptions.setup = setup;
  // The demo's host only pretends to shut down, and succeeds at once.
  hostOptions.shutdownCommand = "pretend to shut down";
  host::HostOptions::Delegated pretend;
  pretend.runCommand = [](auto ended) { ended(host::ExitStatus{}); };
  hostOptions.delegated = pretend;
  hostOptions.turnOffAfterShutdown = options.turnOffDelay;
  hostOptions.shutdownTiming.downWithin = std::chrono::seconds(0);  // its host never goes down
  hostOptions.logEvents = false;  // printed below, one line or JSON object each
  // The primary shares the UPS over NUT with one other machine, which runs as its agent: the
  // primary sets FSD and waits for the agent to log out before its own shutdown.
  nut::BackendOptions sharingOptions;
  sharingOptions.upsName = hostOptions.name;
  sharingOptions.users = nut::UsersFrom({{"rack2", "demo-only", "secondary", {}, {}}});
  sharingOptions.hostsync = std::chrono::seconds(5);
  nut::ServiceBackend sharing(sharingOptions, hostLog);
  hostOptions.beforeShutdown = [&sharing](std::function<void()> proceed) {
    sharing.CoordinateShutdown(std::move(proceed));
  };
  hostOptions.cancelBeforeShutdown = [&sharing] { sharing.CancelForcedShutdown(); };
  host::Host demo(*driver, hostOptions, hostLog);
  sharing.Attach(demo);
  nut::ServerOptions serving;
  serving.listen = {"127.0.0.1:0"};
  nut::Server server(sharing, serving, hostLog);
  std::string serverProblem;
  if (!server.Start(&serverProblem) || server.Ports().empty()) {
    return Fail(kExitFailure, "cannot share the UPS on loopback: " + serverProblem);
  }
  const std::string served = "127.0.0.1:" + std::to_string(server.Ports().front());

  host::agent::FollowerSource* follower = nullptr;
  std::optional<std::chrono::steady_clock::duration> agentDownAt, primaryDownAt;
  host::HostOptions agentOptions;
  agentOptions.name = hostOptions.name;
  agentOptions.logEvents = false;
  agentOptions.shutdownCommand = "pretend to shut down";
  agentOptions.shutdownTiming.downWithin = std::chrono::seconds(0);
  host::HostOptions::Delegated agentPretends;
  agentPretends.runCommand = [&](auto ended) {
    ended(host::ExitStatus{});
    // Its system going down stops its service, which logs out: the primary may go on.
    follower->LogOut(std::chrono::milliseconds(0));
  };
  agentOptions.delegated = agentPretends;
  host::Host agent(
      [&](host::UpsSource::Listener listener) {
        host::agent::FollowerOptions following;
        following.server = served;
        following.ups = hostOptions.name;
        following.user = "rack2";
        following.password = "demo-only";
        auto source = std::make_unique<host::agent::FollowerSource>(
            following, std::chrono::seconds(15), hostLog, std::move(listener));
        follower = source.get();
        return source;
      },
      agentOptions, hostLog);
  // The status page, live while the story plays, at a port nobody else has.
  host::StatusBoard board(hostOptions.name);
  board.SetShutdown([&] {
    const bool pending = demo.ShutdownStage() != host::ShutdownSequence::Stage::kIdle;
    return std::pair{pending, std::string(pending ? "nothing: the demo only pretends" : "")};
  });
  demo.OnEvent(
      [&](const host::UpsEvent& event) { board.OnEvent(event, std::chrono::system_clock::now()); });
  host::http::HttpOptions web;
  web.listen = {"127.0.0.1:0"};
  web.version = CORVALE_UPS_VERSION;
  host::http::HttpServer page(board, web, hostLog);
  std::string pageProblem;
  if (page.Start(&pageProblem) && !page.Ports().empty()) {
    std::fprintf(narration, "Status page while it plays: http://127.0.0.1:%u/\n\n",
                 static_cast<unsigned>(page.Ports().front()));
    std::fflush(narration);
  }
  demo.OnPoll([&](const host::Unit&, const host::Observation& observation) {
    board.OnPoll(observation);
    std::lock_guard lock(seenMutex);
    if (!seen.empty() && seen.back() == observation.polled) return;
    seen.push_back(observation.polled);
    log.Report(StateEvent(observation.polled, PublishedValues(setup)));
  });
  demo.OnEvent([&](const host::UpsEvent& event) {
    std::lock_guard lock(seenMutex);
    if (event.kind == host::EventKind::kShutdown) {
      log.Report(Note("shutdown", "a real host would save its work and shut down now"));
    } else if (event.kind == host::EventKind::kKillPower) {
      acknowledged = event.message.find("acknowledged") != std::string::npos;
      log.Report(Note("kill-power", event.message));
    }
  });
  agent.OnEvent([&](const host::UpsEvent& event) {
    std::lock_guard lock(seenMutex);
    if (event.kind == host::EventKind::kShutdown) {
      agentDownAt = std::chrono::steady_clock::now() - start;
    }
    log.Report(Note("agent", std::string(host::EventName(event.kind)) + ": " + event.message));
  });
  demo.OnEvent([&](const host::UpsEvent& event) {
    if (event.kind != host::EventKind::kKillPower) return;
    std::lock_guard lock(seenMutex);
    primaryDownAt = std::chrono::steady_clock::now() - start;
  });
  std::fprintf(narration, "Another machine on the UPS follows it over NUT at %s as its agent\n\n",
               served.c_str());
  std::fflush(narration);
  demo.Start();
  agent.Start();
  PlayScenario(ups, story, stop, [&](const std::string& said) {
    std::lock_guard lock(seenMutex);
    log.Report(Note("simulator", said));
  });
  agent.Stop();
  demo.Stop();
  server.Stop();
  sharing.Stop();
  page.Stop();

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
  std::lock_guard lock(seenMutex);
  std::string states;
  for (const auto state : seen) {
    states += (states.empty() ? "" : " -> ") + std::string(StateName(state));
  }
  std::string published;
  for (const auto& [name, value] : PublishedValues(setup)) {
    published += " " + name + "=\"" + value + "\"";
  }
  const auto delays = ups.TurnOffDelays();

  std::fprintf(narration, "\nSummary (%s)\n",
               Seconds(std::chrono::steady_clock::now() - start).c_str());
  std::fprintf(
      narration,
      "  on the line: %zu frames from the driver (%d polls, %d silence, %d turn-off), %d invalid\n",
      frames.size(), polls, silences, turnOffs, ups.InvalidFrames());
  std::fprintf(narration, "  host saw:    %s\n", states.c_str());
  if (delays.empty()) {
    std::fprintf(narration, "  turn-off:    not ordered\n");
  } else {
    std::fprintf(narration,
                 "  turn-off:    ordered with a %u s delay, %s; output off at %s, back on at %s\n",
                 delays.front(), acknowledged ? "acknowledged" : "not acknowledged",
                 outputOffAt ? Seconds(*outputOffAt).c_str() : "-",
                 outputOnAt ? Seconds(*outputOnAt).c_str() : "-");
  }
  std::fprintf(narration, "  registry:   %s\n", published.c_str());
  std::fprintf(narration, "  agent:       %s\n",
               agentDownAt ? ("shut down at " + Seconds(*agentDownAt) +
                              ", before the primary ordered the power off at " +
                              (primaryDownAt ? Seconds(*primaryDownAt) : std::string("-")))
                                 .c_str()
                           : "did not shut down");

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
                     outputOffAt && outputOnAt && agentDownAt && primaryDownAt &&
                     *agentDownAt < *primaryDownAt;
  if (!whole) std::fprintf(narration, "  the story did not run as expected\n");
  std::fflush(narration);
  return whole ? kExitOk : kExitFailure;
}

}  // namespace corvale
