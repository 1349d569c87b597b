// A DNS server that never answers, as a broken network meets the service: every command and the
// agent run in a network and mount namespace of their own, whose /etc/resolv.conf names a UDP
// socket on loopback that reads nothing and answers nothing. The system's resolver then waits its
// full timeouts (a minute here); the service's own limits must hold regardless.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "simulator/temporary_directory.h"
#include "tests/support/free_port.h"
#include "tests/support/subprocess.h"

namespace {

namespace fs = std::filesystem;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class SilentDnsTest : public ::testing::Test {
 protected:
  // `command` in the namespace, its output and errors merged; it runs as the namespace's first
  // program, so that a signal to it reaches the command itself.
  std::unique_ptr<Subprocess> Run(std::vector<std::string> command) {
    const fs::path resolv = folder.Path() / "resolv.conf";
    std::ofstream(resolv) << "nameserver 127.0.0.1\noptions timeout:30 attempts:2\n";
    const std::string ready = (folder.Path() / "resolver-ready").string();
    fs::remove(ready);
    // Bound, never read: no answer and no "port unreachable" either. It ends with the command.
    const std::string resolver =
        "import os, socket, time\n"
        "quiet = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
        "quiet.bind(('127.0.0.1', 53))\n"
        "parent = os.getppid()\n"
        "open('" +
        ready +
        "', 'w').close()\n"
        "while os.getppid() == parent: time.sleep(0.2)\n";
    std::vector<std::string> argv = {"unshare",
                                     "--net",
                                     "--mount",
                                     "--propagation",
                                     "private",
                                     "/bin/sh",
                                     "-c",
                                     "ip link set lo up && mount --bind " + resolv.string() +
                                         " /etc/resolv.conf && { python3 -c \"$0\" & } && "
                                         "while [ ! -e " +
                                         ready + " ]; do sleep 0.05; done && exec \"$@\" 2>&1",
                                     resolver};
    argv.insert(argv.end(), command.begin(), command.end());
    return std::make_unique<Subprocess>(argv);
  }
  fs::path AgentConfig(const std::string& server) {
    const fs::path config = folder.Path() / "agent.toml";
    std::ofstream(config) << "[ups]\nname = \"test-ups\"\nserver = \"" << server
                          << "\"\nuser = \"a1\"\npassword = \"pw-a1\"\n[shutdown]\ncommand = "
                             "\"/bin/true\"\nflag_file = \""
                          << (folder.Path() / "run/killpower").string()
                          << "\"\n[events]\nhistory = \""
                          << (folder.Path() / "history.jsonl").string()
                          << "\"\n[http]\nlisten = []\n[service]\ncontrol = \""
                          << (folder.Path() / "control").string() << "\"\n";
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
    return config;
  }
  // Reads the program's output until it ends or `within` passes; how long that took.
  std::chrono::milliseconds Finish(Subprocess& program, std::chrono::seconds within) {
    const auto start = Clock::now();
    while (Clock::now() - start < within) {
      const auto line = program.ReadLine(100ms);
      if (line) said += *line + "\n";
      if (!line && (exitStatus = program.Wait(0ms)) != -1) break;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  }

  corvale::TemporaryDirectory folder;
  std::string said;
  int exitStatus = -1;  // the last program Finish saw end
};

TEST_F(SilentDnsTest, TheResolverHereReallyNeverAnswers) {
  auto lookup = Run({"timeout", "3", "getent", "hosts", "ups-primary.example.net"});
  EXPECT_EQ(lookup->Wait(20s), 124) << "the lookup should have hung until timeout ended it";
}

TEST_F(SilentDnsTest, AnAgentStopsWithinItsUnitsLimitAndStatusWithinItsOwn) {
  const auto config =
      AgentConfig("ups-primary.example.net:" + std::to_string(corvale::testing::FreePort()));
  auto agent = Run({CORVALE_UPS_TOOL, "service", "--config", config.string()});
  // Its first lookup is under way; then the system stops the service.
  const auto started = Clock::now();
  while (Clock::now() - started < 3s) {
    if (auto line = agent->ReadLine(100ms)) said += *line + "\n";
  }
  agent->Signal(SIGTERM);
  const auto stopped = Clock::now();
  const int status = agent->Wait(30s);
  EXPECT_LT(Clock::now() - stopped, 10s) << "systemd would kill it: " << said;
  EXPECT_EQ(status, 0) << said;

  // With its service stopped, status asks nobody's name of the resolver: it says so at once.
  said.clear();
  auto asked = Run({CORVALE_UPS_TOOL, "status", "--config", config.string()});
  EXPECT_LT(Finish(*asked, 60s), 4s) << "status allows 2 s: " << said;
  EXPECT_EQ(exitStatus, 7) << said;
  EXPECT_NE(said.find("the service does not answer"), std::string::npos) << said;
}

TEST_F(SilentDnsTest, ATestNoticeEndsWithinTheConnectionsTime) {
  const fs::path config = folder.Path() / "notify.toml";
  std::ofstream(config) << "[ups]\nport = \"ttyS0\"\n[[notify]]\nname = \"hook\"\nkind = "
                           "\"webhook\"\nurl = \"https://hooks.example.net/ups\"\n";
  fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
  auto test = Run({CORVALE_UPS_TOOL, "notify", "--test", "--config", config.string()});
  EXPECT_LT(Finish(*test, 60s), 8s) << "a try allows 5 s to connect: " << said;
  EXPECT_NE(said.find("hook: not delivered: DNS: no answer for hooks.example.net within 5 s"),
            std::string::npos)
      << said;
}

}  // namespace
