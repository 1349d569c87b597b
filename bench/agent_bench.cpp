// One primary service (on the simulator) with 1,000 agent sessions that log in and read
// ups.status once a second, as agents do: the primary's CPU and memory, how long a change of the
// UPS's bits and an FSD take to reach every session, and one real agent's own footprint.
// Prints "name value".
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "bench/resident.h"
#include "tests/support/free_port.h"
#include "tests/support/line_fixture.h"
#include "tests/support/subprocess.h"

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using corvale::bench::ResidentKiB;
using corvale::testing::Subprocess;

// CPU seconds (user and system) the process `pid` has used.
double CpuSeconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int index = 3; fields >> field && index <= 15; ++index) {
    if (index == 14 || index == 15) ticks += std::stod(field);
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int PidOf(const std::string& pattern) {
  return std::stoi(
      Subprocess({"pgrep", "-n", "-f", pattern}).ReadLine(std::chrono::seconds(5)).value_or("0"));
}

// The simulated agents: each logs in, then asks for ups.status once a second (spread over the
// second, as agents started at different times are) and notes when it first saw a word.
class Agents {
 public:
  Agents(int port, int count)
      : server_(asio::ip::make_address("127.0.0.1"), static_cast<asio::ip::port_type>(port)) {
    for (int i = 0; i < count; ++i) {
      sessions_.push_back(std::make_unique<Session>(io_));
      Session& session = *sessions_.back();
      session.socket.connect(server_);
      const std::string login = "USERNAME agent\nPASSWORD pw\nLOGIN bench\n";
      asio::write(session.socket, asio::buffer(login));
      for (int reply = 0; reply < 3; ++reply) {
        session.reply.consume(asio::read_until(session.socket, session.reply, '\n'));
      }
    }
    // Spread over the second from now, as agents started at different times are.
    std::mt19937 random(7);
    for (auto& session : sessions_) {
      session->timer.expires_after(std::chrono::milliseconds(random() % 1000));
      Wait(*session);
    }
    thread_ = std::thread([this] { io_.run(); });
  }
  ~Agents() {
    io_.stop();
    thread_.join();
  }
  // When each session first read a status with `word` since `since`; nothing for those that
  // did not within `within`.
  std::vector<double> SecondsUntil(const std::string& word, Clock::time_point since,
                                   std::chrono::seconds within) {
    {
      std::lock_guard lock(mutex_);
      watched_ = word;
      watchedSince_ = since;
      for (auto& session : sessions_) session->seenAt.reset();
    }
    std::this_thread::sleep_until(since + within);
    std::lock_guard lock(mutex_);
    std::vector<double> seconds;
    for (auto& session : sessions_) {
      if (session->seenAt) {
        seconds.push_back(std::chrono::duration<double>(*session->seenAt - since).count());
      }
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds;
  }

 private:
  struct Session {
    explicit Session(asio::io_context& io) : socket(io), timer(io) {}
    tcp::socket socket;
    asio::steady_timer timer;
    asio::streambuf reply;
    std::optional<Clock::time_point> seenAt;
  };
  void Wait(Session& session) {
    session.timer.async_wait([this, &session](std::error_code failed) {
      if (!failed) Ask(session);
    });
  }
  void Ask(Session& session) {
    static const std::string ask = "GET VAR bench ups.status\n";
    session.timer.expires_after(std::chrono::seconds(1));
    asio::async_write(session.socket, asio::buffer(ask), [this, &session](auto failed, auto) {
      if (failed) return;
      asio::async_read_until(session.socket, session.reply, '\n',
                             [this, &session](std::error_code readFailed, std::size_t size) {
                               if (readFailed) return;
                               std::string line(size, '\0');
                               session.reply.sgetn(line.data(), static_cast<long>(size));
                               Note(session, line);
                               Wait(session);
                             });
    });
  }
  void Note(Session& session, const std::string& line) {
    std::lock_guard lock(mutex_);
    if (!watched_.empty() && !session.seenAt && line.find(watched_) != std::string::npos &&
        Clock::now() >= watchedSince_) {
      session.seenAt = Clock::now();
    }
  }

  asio::io_context io_;
  tcp::endpoint server_;
  std::vector<std::unique_ptr<Session>> sessions_;
  std::mutex mutex_;
  std::string watched_;
  Clock::time_point watchedSince_;
  std::thread thread_;
};

double Percentile(const std::vector<double>& sorted, int percent) {
  return sorted.empty() ? -1
                        : sorted[(sorted.size() - 1) * static_cast<std::size_t>(percent) / 100];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: agent_bench CORVALE_UPS [AGENTS]\n");
    return 2;
  }
  const int count = argc > 2 ? std::atoi(argv[2]) : 1000;
  constexpr std::uint16_t kOnBatt = 0x0001;
  corvale::testing::Line line;
  const int port = corvale::testing::FreePort();
  const auto config = line.directory.Path() / "primary.toml";
  std::ofstream(config) << "[ups]\nname = \"bench\"\nport = \"COM1\"\ndevices = \""
                        << line.Devices().string() << "\"\nregistry = \""
                        << line.registry.Root().string()
                        << "\"\n[shutdown]\ncommand = \"true\"\nflag_file = \""
                        << (line.directory.Path() / "run/killpower").string()
                        << "\"\n[network]\nlisten = [\"127.0.0.1:" << port
                        << "\"]\nmax_clients = " << count + 64
                        << "\nhostsync_seconds = 60\n[[users]]\nname = \"agent\"\npassword = "
                           "\"pw\"\nupsmon = \"secondary\"\n[[users]]\nname = \"boss\"\n"
                           "password = \"pw\"\nupsmon = \"primary\"\nactions = [\"FSD\"]\n"
                           "[events]\nhistory = \"\"\n[http]\nlisten = []\n";
  std::filesystem::permissions(
      config, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  Subprocess primary(
      {"/bin/sh", "-c", "exec \"$0\" service --config \"$1\" 2>&1", argv[1], config.string()});
  while (auto said = primary.ReadLine(std::chrono::seconds(10))) {
    if (said->find("bench: online") != std::string::npos) break;
  }
  const int primaryPid = PidOf(config.string());

  // One real agent beside the simulated ones: its own footprint.
  const auto agentConfig = line.directory.Path() / "agent.toml";
  std::ofstream(agentConfig) << "[ups]\nname = \"bench\"\nserver = \"127.0.0.1:" << port
                             << "\"\nuser = \"agent\"\npassword = \"pw\"\n[shutdown]\ncommand = "
                                "\"true\"\n[events]\nhistory = \"\"\n[http]\nlisten = []\n";
  std::filesystem::permissions(
      agentConfig, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  Subprocess agent(
      {"/bin/sh", "-c", "exec \"$0\" service --config \"$1\" 2>&1", argv[1], agentConfig.string()});
  while (auto said = agent.ReadLine(std::chrono::seconds(10))) {
    if (said->find("bench: online") != std::string::npos) break;
  }
  const int agentPid = PidOf(agentConfig.string());
  // Their logs read on, so that a thousand logins never fill a pipe and stall them.
  std::atomic<bool> done{false};
  std::thread drain([&] {
    while (!done) {
      primary.ReadLine(std::chrono::milliseconds(20));
      agent.ReadLine(std::chrono::milliseconds(20));
    }
  });

  Agents agents(port, count);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double primaryCpu = CpuSeconds(primaryPid), agentCpu = CpuSeconds(agentPid);
  // Long enough for the clock ticks the kernel counts CPU time in (10 ms) to matter little.
  constexpr int kWindow = 30;
  std::this_thread::sleep_for(std::chrono::seconds(kWindow));
  std::printf("agents %d\n", count);
  std::printf("primary_cpu_percent %.2f\n", 100 * (CpuSeconds(primaryPid) - primaryCpu) / kWindow);
  std::printf("primary_rss_kib %ld\n", ResidentKiB(primaryPid));
  std::printf("agent_cpu_percent %.3f\n", 100 * (CpuSeconds(agentPid) - agentCpu) / kWindow);
  std::printf("agent_rss_kib %ld\n", ResidentKiB(agentPid));

  // The bits change on the line: the primary's poll, then each session's next read.
  const auto changed = Clock::now();
  line.peer->SetStatus(kOnBatt);
  const auto onBattery = agents.SecondsUntil("OB", changed, std::chrono::seconds(5));
  std::printf("bits_first_s %.3f\n", onBattery.empty() ? -1.0 : onBattery.front());
  std::printf("bits_seen_by %zu\nbits_p50_s %.3f\nbits_p99_s %.3f\nbits_max_s %.3f\n",
              onBattery.size(), Percentile(onBattery, 50), Percentile(onBattery, 99),
              onBattery.empty() ? -1.0 : onBattery.back());

  // FSD set by a primary user: from its acknowledgement to each session's read.
  asio::io_context io;
  tcp::socket boss(io);
  boss.connect(
      tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
  const std::string fsd = "USERNAME boss\nPASSWORD pw\nLOGIN bench\nFSD bench\n";
  asio::write(boss, asio::buffer(fsd));
  asio::streambuf replies;
  for (int reply = 0; reply < 4; ++reply) replies.consume(asio::read_until(boss, replies, '\n'));
  const auto set = Clock::now();
  const auto forced = agents.SecondsUntil("FSD", set, std::chrono::seconds(5));
  std::printf("fsd_first_s %.3f\n", forced.empty() ? -1.0 : forced.front());
  std::printf("fsd_seen_by %zu\nfsd_p50_s %.3f\nfsd_p99_s %.3f\nfsd_max_s %.3f\n", forced.size(),
              Percentile(forced, 50), Percentile(forced, 99),
              forced.empty() ? -1.0 : forced.back());
  done = true;
  drain.join();
  return 0;
}
