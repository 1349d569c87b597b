// corvale-ups service run for real on a test's line: its configuration, the process, and its log
// read line by line until what a test waits for appears.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/line_fixture.h"
#include "tests/support/read_file.h"
#include "tests/support/subprocess.h"

namespace corvale::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class ServiceFixture : public ::testing::Test {
 protected:
  fs::path Dir() const { return line.directory.Path(); }
  fs::path Flag() const { return Dir() / "run/killpower"; }
  fs::path Control() const { return Dir() / "control"; }

  // A configuration for this test's line; `extra` is appended as it is. Nothing of it reaches
  // outside the test's folder: no history in the system's state folder, no fixed port.
  fs::path WriteConfig(const std::string& shutdownCommand, std::string extra = {}) {
    const fs::path path = Dir() / "corvale-ups.toml";
    const std::string history = "history = \"" + (Dir() / "history.jsonl").string() + "\"\n";
    if (const auto events = extra.find("[events]\n"); events != std::string::npos) {
      if (extra.find("history = ") == std::string::npos) extra.insert(events + 9, history);
    } else {
      extra += "[events]\n" + history;
    }
    if (extra.find("[http]") == std::string::npos) extra += "[http]\nlisten = []\n";
    // The local channel to the commands, in the test's folder.
    if (extra.find("[service]") == std::string::npos) {
      extra += "[service]\ncontrol = \"" + Control().string() + "\"\n";
    }
    std::ofstream(path) << "[ups]\nname = \"test-ups\"\nport = \"COM1\"\ndevices = \""
                        << line.Devices().string() << "\"\nregistry = \""
                        << line.registry.Root().string() << "\"\n[shutdown]\ncommand = \""
                        << shutdownCommand << "\"\nturn_off_delay = 42\nflag_file = \""
                        << Flag().string() << "\"\n"
                        << extra;
    if (extra.find("[network]") == std::string::npos)
      std::ofstream(path, std::ios::app) << "[network]\nlisten = []\n";
    return path;
  }

  // `as`: words run before the program, such as setpriv's to take another user's rights.
  void Start(const fs::path& config, const std::vector<std::string>& as = {}) {
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>&1", "-"};
    argv.insert(argv.end(), as.begin(), as.end());
    argv.insert(argv.end(), {CORVALE_UPS_TOOL, "service", "--config", config.string()});
    service = std::make_unique<Subprocess>(argv);
  }

  // True once a line of the service's log contains `text`.
  bool WaitFor(const std::string& text, std::chrono::seconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      auto next = service->ReadLine(200ms);
      if (!next) continue;
      log += *next + "\n";
      if (next->find(text) != std::string::npos) return true;
    }
    return false;
  }

  // True once the file at `path` contains `text`; the log is read meanwhile.
  bool WaitForFile(const fs::path& path, const std::string& text,
                   std::chrono::seconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ReadFile(path).find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      if (auto next = service->ReadLine(100ms)) log += *next + "\n";
    }
    return true;
  }

  // Runs corvale-ups with `words`; its exit status.
  int Tool(std::vector<std::string> words) {
    words.insert(words.begin(), CORVALE_UPS_TOOL);
    return RunToEnd(words);
  }
  // Runs a command line to its end; its exit status.
  static int RunToEnd(const std::vector<std::string>& argv) {
    Subprocess tool(argv);
    while (tool.ReadLine(10s)) {
    }
    return tool.Wait(10s);
  }

  Line line;
  std::unique_ptr<Subprocess> service;
  std::string log;
};

}  // namespace corvale::testing
