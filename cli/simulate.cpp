#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "cli/commands.h"
#include "protocol/printable.h"
#include "simulator/scenario.h"
#include "simulator/ups_peer.h"

namespace corvale {

namespace {

const char* CommandName(const std::optional<UpsCommand>& command) {
  if (!command) return "invalid frame";
  switch (command->letter) {
    case 'L':
      return "poll";
    case 'B':
      return "silence";
    default:
      return "turn off";
  }
}

// Single key presses from a terminal, without echo; restores the terminal when done.
class RawKeys {
 public:
  RawKeys() {
    if (isatty(0) && tcgetattr(0, &saved_) == 0) {
      termios raw = saved_;
      raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
      tcsetattr(0, TCSANOW, &raw);
      active_ = true;
    }
  }
  ~RawKeys() {
    if (active_) tcsetattr(0, TCSANOW, &saved_);
  }
  // A key, 0 when none came within `timeoutMs`, or -1 at the end of input.
  int Next(int timeoutMs) {
    pollfd in = {0, POLLIN, 0};
    if (poll(&in, 1, timeoutMs) <= 0) return 0;
    char key = 0;
    return read(0, &key, 1) == 1 ? key : -1;
  }

 private:
  termios saved_{};
  bool active_ = false;
};

// What each key does: a scenario action, or a line fault that the key switches on and off.
struct KeyAction {
  char key;
  const char* action;
  std::optional<UpsPeer::Fault> toggles;
};
constexpr KeyAction kKeys[] = {
    {'p', "power-fails", std::nullopt},         {'r', "power-returns", std::nullopt},
    {'l', "battery-low", std::nullopt},         {'f', "battery-fails", std::nullopt},
    {'o', "battery-ok", std::nullopt},          {'s', "silent", UpsPeer::Fault::kSilent},
    {'g', "garbage", UpsPeer::Fault::kGarbled}, {'d', "drop", UpsPeer::Fault::kUnplugged},
};

void Interactive(UpsPeer& ups, const std::atomic<bool>& stop) {
  std::printf(
      "keys: p power fails, r power returns, l battery low, f battery fails, o battery ok,\n"
      "      s silent on/off, g garbage on/off, d cable pulled/plugged, q quit\n");
  std::fflush(stdout);
  RawKeys keys;
  bool keysEnded = false;
  while (!stop) {
    // Without keys to read (run in the background), the UPS plays on until a signal stops it.
    const int key = keysEnded ? 0 : keys.Next(200);
    if (key < 0) keysEnded = true;
    if (key <= 0) {
      if (keysEnded) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      continue;
    }
    if (key == 'q') return;
    for (const auto& entry : kKeys) {
      if (entry.key != key) continue;
      const bool switchOff = entry.toggles && ups.CurrentFault() == *entry.toggles;
      const std::string said = ApplyStep(ups, {0, switchOff ? "restore" : entry.action, "", 0});
      std::printf("simulator: %s\n", said.c_str());
      std::fflush(stdout);
    }
  }
}

}  // namespace

int RunSimulate(const SimulateOptions& options, const std::atomic<bool>& stop) {
  std::vector<ScenarioStep> steps;
  if (!options.scenarioFile.empty()) {
    std::ifstream in(options.scenarioFile);
    if (!in) {
      std::fprintf(stderr, "corvale-ups: cannot read the scenario %s\n",
                   options.scenarioFile.c_str());
      return kExitUsage;
    }
    try {
      steps = ParseScenario(in, options.scenarioFile);
    } catch (const std::invalid_argument& error) {
      std::fprintf(stderr, "corvale-ups: %s\n", error.what());
      return kExitUsage;
    }
  }

  UpsPeer ups;
  if (!options.link.empty()) {
    std::error_code error;
    std::filesystem::remove(options.link, error);
    std::filesystem::create_symlink(ups.DevicePath(), options.link, error);
    if (error) {
      std::fprintf(stderr, "corvale-ups: cannot create the link %s: %s\n", options.link.c_str(),
                   error.message().c_str());
      return kExitFailure;
    }
  }
  std::printf("UPS simulator on %s%s%s\n", ups.DevicePath().c_str(),
              options.link.empty() ? "" : ", linked as ", options.link.c_str());
  std::fflush(stdout);
  if (!options.quiet) {
    ups.OnFrame([](const UpsPeer::FrameRecord& frame, const std::optional<UpsCommand>& command) {
      std::string line =
          "simulator: received " + Printable(frame.bytes) + " (" + CommandName(command) + ")";
      if (command && command->letter == 'S')
        line += " delay " + std::to_string(command->delay) + " s";
      line += frame.reply.empty() ? ", no answer" : ", answered " + Printable(frame.reply);
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    });
  }
  ups.OnOutputChange([](bool on) {
    std::printf("simulator: output switched %s\n", on ? "on" : "off");
    std::fflush(stdout);
  });

  if (steps.empty()) {
    Interactive(ups, stop);
  } else {
    PlayScenario(ups, steps, stop, [](const std::string& said) {
      std::printf("simulator: %s\n", said.c_str());
      std::fflush(stdout);
    });
  }
  std::printf("simulator: %zu frames received, %d invalid\n", ups.Frames().size(),
              ups.InvalidFrames());
  if (!options.link.empty()) std::filesystem::remove(options.link);
  return kExitOk;
}

}  // namespace corvale
