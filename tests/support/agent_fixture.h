// The service as the primary and as agents, end to end: a primary service on the simulator's UPS,
// agent services following it over loopback, and NUT's own upsmon beside them.
#pragma once

#include <signal.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/free_port.h"
#include "tests/support/service_fixture.h"

namespace corvale::testing {

constexpr std::uint16_t kOnBatt = 0x0001, kLowBatt = 0x0004;

// One agent service: its own folder, configuration and log.
struct Agent {
  Agent(const fs::path& folder, const std::string& name, int port, const std::string& extra)
      : dir(folder / name) {
    fs::create_directories(dir);
    config = dir / "corvale-ups.toml";
    // Its shutdown command, a script of its own (a test may take it away).
    std::ofstream(dir / "shutdown.sh")
        << "#!/bin/sh\necho " << name << " >> " << (folder / "order").string() << "\n";
    fs::permissions(dir / "shutdown.sh", fs::perms(0755));
    std::ofstream(config) << "[ups]\nname = \"test-ups\"\nserver = \"127.0.0.1:" << port
                          << "\"\nuser = \"" << name << "\"\npassword = \"pw-" << name << "\"\n"
                          << extra << "[shutdown]\ncommand = \"" << (dir / "shutdown.sh").string()
                          << "\"\nflag_file = \"" << (dir / "run/killpower").string()
                          << "\"\n[events]\nhistory = \"" << (dir / "history.jsonl").string()
                          << "\"\n[http]\nlisten = []\n[service]\ncontrol = \""
                          << (dir / "control").string() << "\"\n";
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
    process = std::make_unique<Subprocess>(
        std::vector<std::string>{"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL,
                                 "service", "--config", config.string()});
  }
  bool WaitFor(const std::string& text, std::chrono::seconds timeout = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (auto next = process->ReadLine(100ms)) {
        log += *next + "\n";
        if (next->find(text) != std::string::npos) return true;
      }
    }
    return false;
  }
  void Drain() {
    while (auto next = process->ReadLine(10ms)) log += *next + "\n";
  }
  fs::path dir, config;
  std::unique_ptr<Subprocess> process;
  std::string log;
};

class AgentServiceTest : public ServiceFixture {
 protected:
  // The primary: its UPS on the simulator, its NUT server on a free port, a login per machine.
  void StartPrimary(const std::string& extra = {}) {
    std::string users;
    for (const char* name : {"a1", "a2", "mon"}) {
      users += "[[users]]\nname = \"" + std::string(name) + "\"\npassword = \"pw-" + name +
               "\"\nupsmon = \"secondary\"\n";
    }
    const auto config = WriteConfig("echo primary >> " + (Dir() / "order").string(),
                                    "[network]\nlisten = [\"127.0.0.1:" + std::to_string(port) +
                                        "\"]\nhostsync_seconds = 30\n" + users + extra);
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
    log.clear();
    Start(config);
    ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  }
  std::unique_ptr<Agent> StartAgent(const std::string& name, const std::string& extra = {}) {
    auto agent = std::make_unique<Agent>(Dir(), name, port, extra);
    EXPECT_TRUE(agent->WaitFor("test-ups: online")) << agent->log;
    return agent;
  }
  // NUT's upsmon as one more secondary, in a mount namespace of its own for its PID file.
  std::unique_ptr<Subprocess> StartUpsmon() {
    const fs::path conf = Dir() / "nut";
    fs::create_directories(conf);
    std::ofstream(conf / "upsmon.conf")
        << "MONITOR test-ups@127.0.0.1:" << port << " 1 mon pw-mon secondary\nMINSUPPLIES 1\n"
        << "SHUTDOWNCMD \"/bin/sh -c 'echo upsmon >> " << (Dir() / "order").string() << "'\"\n"
        << "POLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 15\nFINALDELAY 0\nPOWERDOWNFLAG "
        << (Dir() / "upsmon-flag").string() << "\n";
    fs::permissions(conf / "upsmon.conf", fs::perms::owner_read | fs::perms::owner_write);
    return std::make_unique<Subprocess>(std::vector<std::string>{
        "/usr/bin/env", "NUT_CONFPATH=" + conf.string(), "unshare", "-m", "--propagation",
        "private", "/bin/sh", "-c",
        "mkdir -p /run/nut && mount -t tmpfs none /run/nut && exec /lib/nut/upsmon -F -p "
        ">/dev/null 2>&1"});
  }
  // What the system does once an agent's shutdown command has run: it stops the service, the
  // other services take `lastSteps` to stop, and then it ends every process left, among them the
  // one that holds the agent's connection. The time the holder ended.
  static std::chrono::steady_clock::time_point SystemGoesDown(
      Agent& agent, std::chrono::milliseconds lastSteps = 0ms) {
    EXPECT_TRUE(agent.WaitFor("the shutdown command ended: exit status 0", 30s)) << agent.log;
    agent.process->Signal(SIGTERM);
    EXPECT_EQ(agent.process->Wait(10s), 0);
    agent.Drain();
    std::this_thread::sleep_for(lastSteps);
    constexpr char kHeld[] = "stays open in process ";
    const auto held = agent.log.find(kHeld);
    if (held != std::string::npos) {
      const pid_t holder = std::stoi(agent.log.substr(held + sizeof kHeld - 1));
      // Its connection closes as it ends (a zombie holds no sockets).
      if (holder > 1) kill(holder, SIGTERM);
    }
    return std::chrono::steady_clock::now();
  }

  int port = FreePort();
};

}  // namespace corvale::testing
