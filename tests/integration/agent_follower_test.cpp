// The agent's NUT client against the project's own server and against small servers of bad
// behaviour, all on free loopback ports.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <thread>

#include "host/agent/follower.h"
#include "host/agent/follower_source.h"
#include "host/nut/nut_server.h"
#include "simulator/temporary_directory.h"
#include "tests/support/captured_log.h"
#include "tests/support/fake_nut_backend.h"
#include "tests/support/free_port.h"

namespace {

using corvale::host::agent::Follower;
using corvale::host::agent::FollowerOptions;
using corvale::host::agent::Reading;
using corvale::testing::Count;
using namespace std::chrono_literals;

std::string Loopback(int port) {
  return "127.0.0.1:" + std::to_string(port);
}

// The fake backend, read and changed by the test while the server's thread uses it.
class SharedBackend : public corvale::testing::FakeNutBackend {
 public:
  std::optional<corvale::nut::Variables> CurrentVariables(const void*, std::size_t) const override {
    std::lock_guard lock(mutex_);
    return variables;
  }
  int NumLogins() const override {
    std::lock_guard lock(mutex_);
    return static_cast<int>(logins.size());
  }
  void Login(const void* session, std::size_t ups, const std::string& address,
             const std::string&) override {
    std::lock_guard lock(mutex_);
    logins[session] = {address, ups};
  }
  void Logout(const void* session) override {
    std::lock_guard lock(mutex_);
    logins.erase(session);
  }
  void SetStatus(std::optional<std::string> status) {  // nothing: stale
    std::lock_guard lock(mutex_);
    variables.reset();
    if (status) variables = corvale::nut::Variables{{"ups.status", *status}};
  }
  // A drill under way, and the answers heard.
  std::uint64_t DrillAsked(const void*) override { return drill; }
  void DrillAnswered(const void*, std::uint64_t id, bool ready, const std::string& text) override {
    std::lock_guard lock(mutex_);
    answers.push_back({id, ready, text});
  }
  struct Answer {
    std::uint64_t id;
    bool ready;
    std::string text;
  };
  std::vector<Answer> Answers() const {
    std::lock_guard lock(mutex_);
    return answers;
  }
  std::atomic<std::uint64_t> drill{0};

 private:
  mutable std::mutex mutex_;
  std::vector<Answer> answers;
};

// What the follower reported, for the test to wait on.
class Readings {
 public:
  void Add(const Reading& reading) {
    std::lock_guard lock(mutex_);
    all_.push_back(reading);
    changed_.notify_all();
  }
  bool WaitFor(const std::function<bool(const Reading&)>& matches,
               std::chrono::seconds within = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, within,
                             [&] { return std::any_of(all_.begin(), all_.end(), matches); });
  }
  bool WaitForStatus(const std::string& status) {
    return WaitFor([&](const Reading& r) { return r.reached && r.status == status; });
  }
  bool AnyReached() {
    return WaitFor([](const Reading& r) { return r.reached; }, 0s);
  }
  std::string Reasons() {
    std::lock_guard lock(mutex_);
    std::string reasons;
    for (const auto& reading : all_) reasons += reading.reason + "\n";
    return reasons;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    all_.clear();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Reading> all_;
};

bool Eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 500 && !condition(); ++i) std::this_thread::sleep_for(10ms);
  return condition();
}

// A server of one bad behaviour on a free loopback port: `serve` talks to each client in turn
// (none accepted without it), and what clients said is kept.
class FakeServer {
 public:
  using Serve = std::function<void(FakeServer&, int fd)>;
  explicit FakeServer(Serve serve, int backlog = 8) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listen_, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    listen(listen_, backlog);
    thread_ = std::thread([this, serve] {
      while (!stopping) {
        pollfd readable{listen_, POLLIN, 0};
        if (!serve || poll(&readable, 1, 50) <= 0) continue;
        const int fd = accept(listen_, nullptr, nullptr);
        ++connections;
        serve(*this, fd);
        close(fd);
      }
    });
  }
  ~FakeServer() {
    stopping = true;
    thread_.join();
    close(listen_);
  }
  // The client's next line, kept; empty once it closed or the test ends.
  std::string Line(int fd) {
    std::string line;
    for (char c; !stopping;) {
      pollfd readable{fd, POLLIN, 0};
      if (poll(&readable, 1, 50) <= 0) continue;
      if (recv(fd, &c, 1, 0) != 1) break;
      if (c == '\n') {
        std::lock_guard lock(mutex_);
        heard_ += line + "\n";
        return line;
      }
      line += c;
    }
    return "";
  }
  static void Say(int fd, const std::string& text) {
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  }
  std::string Heard() {
    std::lock_guard lock(mutex_);
    return heard_;
  }
  int port = 0;
  std::atomic<int> connections{0};
  std::atomic<bool> stopping{false};

 private:
  int listen_ = socket(AF_INET, SOCK_STREAM, 0);
  std::mutex mutex_;
  std::string heard_;
  std::thread thread_;
};

// Answers every line until the client goes: `reply` for the line, or nothing to stay silent.
FakeServer::Serve Answering(std::function<std::string(const std::string&)> reply) {
  return [reply](FakeServer& server, int fd) {
    for (std::string line; !(line = server.Line(fd)).empty();) FakeServer::Say(fd, reply(line));
  };
}

class FollowerTest : public ::testing::Test {
 protected:
  static FollowerOptions Options(const std::string& server) {
    FollowerOptions options;
    options.server = server;
    options.ups = "ups1";
    options.user = "mon";
    options.password = "pw";
    options.pollEvery = 50ms;
    options.replyTimeout = 1s;
    options.firstBackoff = 50ms;
    options.longestBackoff = 200ms;
    return options;
  }
  void Follow(const FollowerOptions& options) {
    follower =
        std::make_unique<Follower>(options, log, [this](const Reading& r) { readings.Add(r); });
    follower->Start();
  }
  std::unique_ptr<corvale::nut::Server> Serve(const std::string& address,
                                              const std::string& certificate = "",
                                              const std::string& key = "") {
    backend.tls = !certificate.empty();
    auto server = std::make_unique<corvale::nut::Server>(
        backend,
        corvale::nut::ServerOptions{.listen = {address}, .certificate = certificate, .key = key},
        log);
    std::string error;
    EXPECT_TRUE(server->Start(&error)) << error;
    return server;
  }
  std::string Logged() { return corvale::testing::Messages(logFile); }

  SharedBackend backend;
  std::FILE* logFile = std::tmpfile();
  corvale::host::Logger log{false, logFile};
  Readings readings;
  std::unique_ptr<Follower> follower;  // stopped before what it reports to goes
};

TEST_F(FollowerTest, LogsInAsASecondaryAndReportsEachStatus) {
  auto server = Serve("127.0.0.1:0");
  Follow(Options(Loopback(server->Ports().at(0))));
  ASSERT_TRUE(readings.WaitForStatus("OL")) << readings.Reasons();
  EXPECT_EQ(backend.NumLogins(), 1);
  backend.SetStatus("OB LB");
  EXPECT_TRUE(readings.WaitForStatus("OB LB"));
  backend.SetStatus(std::nullopt);
  EXPECT_TRUE(readings.WaitFor(
      [](const Reading& r) { return !r.reached && r.reason == "the server's data is stale"; }));
  readings.Clear();
  backend.SetStatus("OL");
  EXPECT_TRUE(readings.WaitForStatus("OL"));
  EXPECT_EQ(server->Connections(), 1u) << "stale data keeps the connection";
  EXPECT_EQ(Count(Logged(), "cannot follow"), 0u) << Logged();
}

TEST_F(FollowerTest, EachDrillIsAnsweredOnceAndALongAnswerIsCutToFitALine) {
  auto server = Serve("127.0.0.1:0");
  auto options = Options(Loopback(server->Ports().at(0)));
  std::atomic<int> rehearsals{0};
  options.rehearse = [&] {
    ++rehearsals;
    return FollowerOptions::Rehearsal{false, std::string(2000, 'x') + "\"\\\n"};
  };
  Follow(options);
  ASSERT_TRUE(readings.WaitForStatus("OL")) << readings.Reasons();
  backend.drill = 1733000000001;
  for (int i = 0; i < 100 && backend.Answers().empty(); ++i) std::this_thread::sleep_for(20ms);
  std::this_thread::sleep_for(300ms);  // more polls: still one answer
  const auto answers = backend.Answers();
  ASSERT_EQ(answers.size(), 1u) << Logged();
  EXPECT_EQ(answers[0].id, 1733000000001u);
  EXPECT_FALSE(answers[0].ready);
  EXPECT_TRUE(answers[0].text.ends_with("...")) << answers[0].text.size();
  EXPECT_GT(answers[0].text.size(), 300u) << "as much as fits";
  EXPECT_EQ(rehearsals, 1);
  EXPECT_EQ(Count(Logged(), "did not take"), 0u) << Logged();
}

TEST_F(FollowerTest, AServerThatRestartsIsFollowedAgainAfterANewLogin) {
  auto server = Serve("127.0.0.1:0");
  const std::string port = std::to_string(server->Ports().at(0));
  Follow(Options("localhost:" + port));
  ASSERT_TRUE(readings.WaitForStatus("OL"));
  server.reset();
  ASSERT_TRUE(readings.WaitFor([](const Reading& r) { return !r.reached; }));
  std::this_thread::sleep_for(500ms);  // refused a few times, backing off
  backend.SetStatus("OB");
  server = Serve("127.0.0.1:" + port);
  EXPECT_TRUE(readings.WaitForStatus("OB")) << readings.Reasons();
  EXPECT_EQ(backend.NumLogins(), 1);
  EXPECT_EQ(Count(Logged(), "cannot follow ups1"), 1u) << Logged();
  EXPECT_EQ(Count(Logged(), "following ups1 at localhost:" + port + " again"), 1u) << Logged();
}

TEST_F(FollowerTest, FollowsOverIpv6) {
  auto server = Serve("[::1]:0");
  Follow(Options("[::1]:" + std::to_string(server->Ports().at(0))));
  EXPECT_TRUE(readings.WaitForStatus("OL")) << readings.Reasons();
}

TEST_F(FollowerTest, FollowsAServerByNameLookedUpBesideItsThread) {
  auto server = Serve("127.0.0.1:0");
  Follow(Options("localhost:" + std::to_string(server->Ports().at(0))));
  EXPECT_TRUE(readings.WaitForStatus("OL")) << readings.Reasons();
  follower.reset();  // and stops with its lookups over or under way
  Follow(Options("localhost:" + std::to_string(server->Ports().at(0))));
  follower.reset();
}

TEST_F(FollowerTest, LogsInAgainBeforeAnythingElseAndLogsOutOnlyWhenTold) {
  // The first connection ends after its first reading.
  FakeServer server([](FakeServer& s, int fd) {
    for (std::string line; !(line = s.Line(fd)).empty();) {
      FakeServer::Say(fd, line.starts_with("GET") ? "VAR ups1 ups.status \"OL\"\n" : "OK\n");
      if (line.starts_with("GET") && s.connections == 1) return;
    }
  });
  Follow(Options(Loopback(server.port)));
  ASSERT_TRUE(Eventually([&] { return Count(server.Heard(), "GET") >= 3; }));
  const std::string login = "USERNAME mon\nPASSWORD pw\nLOGIN ups1\nGET VAR ups1 ups.status\n";
  EXPECT_EQ(server.Heard().find(login + login), 0u) << server.Heard();
  EXPECT_EQ(server.Heard().find("LOGOUT"), std::string::npos);
  follower->LogOut();
  EXPECT_TRUE(Eventually([&] { return server.Heard().ends_with("LOGOUT\n"); })) << server.Heard();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server.connections, 2) << "no connection after LOGOUT";
  follower.reset();
}

TEST_F(FollowerTest, SaysItsShutdownStartedOnceAndItsHeldConnectionOutlivesTheFollower) {
  // A standard server: it does not know the word, and answers an error.
  std::atomic<bool> closed{false};
  FakeServer server([&](FakeServer& s, int fd) {
    for (std::string line; !(line = s.Line(fd)).empty();) {
      FakeServer::Say(fd, line.starts_with("GET")             ? "VAR ups1 ups.status \"OB\"\n"
                          : line.starts_with("SHUTTING-DOWN") ? "ERR UNKNOWN-COMMAND\n"
                                                              : "OK\n");
    }
    closed = !s.stopping;
  });
  Follow(Options(Loopback(server.port)));
  ASSERT_TRUE(Eventually([&] { return Count(server.Heard(), "GET") >= 2; }));
  follower->SayShuttingDown();
  ASSERT_TRUE(Eventually([&] { return Count(server.Heard(), "SHUTTING-DOWN ups1\n") == 1; }));
  const auto polls = Count(server.Heard(), "GET");
  EXPECT_TRUE(Eventually([&] { return Count(server.Heard(), "GET") >= polls + 3; }))
      << "the refusal changes nothing: " << server.Heard();
  EXPECT_EQ(Count(server.Heard(), "SHUTTING-DOWN"), 1u) << "said once on a connection";
  EXPECT_NE(Logged().find("did not take this machine's word"), std::string::npos) << Logged();

  const auto held = follower->HoldToTheEnd(2s, 30s);
  ASSERT_EQ(held.how, Follower::Hold::How::kHeld) << held.why;
  ASSERT_GT(held.holder, 1);
  follower.reset();
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(closed) << "open while its holder lives, the follower gone";
  EXPECT_EQ(server.Heard().find("LOGOUT"), std::string::npos) << server.Heard();
  EXPECT_EQ(server.connections, 1);
  // The system's last step ends the holder: the connection closes then.
  kill(static_cast<pid_t>(held.holder), SIGTERM);
  EXPECT_TRUE(Eventually([&] { return closed.load(); }));
}

TEST_F(FollowerTest, WithoutAConnectionToHoldNothingIsHeldAndNothingIsSent) {
  Follow(Options(Loopback(corvale::testing::FreePort())));  // nobody listens there
  std::this_thread::sleep_for(200ms);
  const auto held = follower->HoldToTheEnd(2s, 30s);
  EXPECT_EQ(held.how, Follower::Hold::How::kNeither);
  EXPECT_EQ(held.holder, 0);
  EXPECT_FALSE(held.why.empty());
}

TEST_F(FollowerTest, AfterSleepItLogsInAgainAtOnceWhateverTheBackoffAndTwoWakingsAreOne) {
  // A connection that slept with the machine: the server has forgotten it and stays silent on
  // it. Without the waking, the follower would wait out its reply time-out, then its backoff.
  FakeServer server([](FakeServer& s, int fd) {
    const int connection = s.connections;
    for (std::string line; !(line = s.Line(fd)).empty();) {
      if (connection == 1 && line.starts_with("GET") && Count(s.Heard(), "GET") > 1) continue;
      FakeServer::Say(fd, line.starts_with("GET") ? "VAR ups1 ups.status \"OL\"\n" : "OK\n");
    }
  });
  auto options = Options(Loopback(server.port));
  options.replyTimeout = 30s;
  options.firstBackoff = options.longestBackoff = 30s;
  Follow(options);
  ASSERT_TRUE(Eventually([&] { return Count(server.Heard(), "GET") >= 2; })) << server.Heard();
  const auto woke = std::chrono::steady_clock::now();
  follower->Reconnect();
  follower->Reconnect();  // Windows' second power event of the same waking
  ASSERT_TRUE(Eventually([&] { return Count(server.Heard(), "LOGIN ups1") >= 2; }))
      << server.Heard();
  EXPECT_LT(std::chrono::steady_clock::now() - woke, 2s) << "within a poll, not a time-out";
  ASSERT_TRUE(readings.WaitForStatus("OL"));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server.connections, 2) << "one new connection for one waking";
  EXPECT_EQ(Count(Logged(), "woke from sleep"), 1u) << Logged();
  EXPECT_EQ(Count(Logged(), "cannot follow"), 0u) << "nothing failed: " << Logged();
  follower->LogOut();
  follower->Reconnect();  // too late: logged out for good
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(server.connections, 2) << Logged();
  follower.reset();
}

TEST_F(FollowerTest, AServerThatDropsEachConnectionIsLoggedOnceAndTriedEverMoreSlowly) {
  FakeServer flapping([](FakeServer& s, int fd) {
    for (std::string line; !(line = s.Line(fd)).empty();) {
      const bool get = line.starts_with("GET");
      FakeServer::Say(fd, get ? "VAR ups1 ups.status \"OL\"\n" : "OK\n");
      if (get) return;
    }
  });
  auto options = Options(Loopback(flapping.port));
  options.longestBackoff = 400ms;
  Follow(options);
  std::this_thread::sleep_for(3s);
  follower.reset();
  EXPECT_EQ(Count(Logged(), "cannot follow"), 1u) << Logged();
  EXPECT_LE(Count(Logged(), "again"), 1u) << Logged();
  EXPECT_LT(flapping.connections, 15) << "the backoff grows while no connection holds";
}

TEST_F(FollowerTest, BadServersAreUnreachableAndTriedAgainNeverReached) {
  std::atomic<std::size_t> flooded{0};
  const std::pair<FakeServer::Serve, const char*> cases[] = {
      {Answering([](auto&) { return "\x01\x02\xff junk\n"; }),
       "answered USERNAME with \"??? junk\""},
      {[&](FakeServer& s, int fd) {
         // An endless line: megabytes without a newline, for as long as the client reads.
         s.Line(fd);
         const std::string chunk(1 << 16, 'x');
         for (ssize_t sent = 0; sent >= 0 && flooded < (64u << 20) && !s.stopping;) {
           sent = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
           if (sent > 0) flooded += static_cast<std::size_t>(sent);
           if (sent < 0 && errno == EAGAIN) sent = 0, std::this_thread::sleep_for(1ms);
         }
       },
       "a line longer than 512 bytes"},
      {Answering([](const std::string& line) {
         return line.starts_with("GET") ? "VAR ups2 ups.status \"OL\"\n" : "OK\n";
       }),
       "answered GET VAR with \"VAR ups2"},
      {Answering([](auto&) { return ""; }), "no answer within 0.3 s"},
      {[](FakeServer& s, int fd) {
         // A reply dripped a byte at a time, each well within the time, the whole never.
         s.Line(fd);
         while (!s.stopping && send(fd, "x", 1, MSG_NOSIGNAL) == 1) {
           std::this_thread::sleep_for(100ms);
         }
       },
       "no answer within 0.3 s"},
  };
  for (const auto& [serve, reason] : cases) {
    readings.Clear();
    FakeServer server(serve);
    auto options = Options(Loopback(server.port));
    options.replyTimeout = 300ms;
    Follow(options);
    EXPECT_TRUE(Eventually([&] { return server.connections >= 3; })) << reason;
    follower.reset();
    server.stopping = true;
    EXPECT_FALSE(readings.AnyReached()) << reason;
    EXPECT_NE(readings.Reasons().find(reason), std::string::npos) << readings.Reasons();
  }
  // Closed after a line's worth: far less than offered went out.
  EXPECT_LT(flooded.load(), 32u << 20);
  EXPECT_EQ(Count(Logged(), "cannot follow"), 5u) << "once per server";
}

TEST_F(FollowerTest, RequiredTlsSendsNoPasswordToAServerWithoutIt) {
  FakeServer server(Answering([](const std::string& line) {
    return line == "STARTTLS" ? "ERR FEATURE-NOT-CONFIGURED\n" : "OK\n";
  }));
  auto options = Options(Loopback(server.port));
  options.requireTls = true;
  Follow(options);
  EXPECT_TRUE(Eventually([&] { return server.connections >= 2; }));
  follower.reset();
  const std::string heard = server.Heard();
  EXPECT_EQ(Count(heard, "STARTTLS\n") * 9, heard.size()) << "nothing else: " << heard;
  EXPECT_NE(readings.Reasons().find("never sent in clear"), std::string::npos);
}

class FollowerTlsTest : public FollowerTest {
 protected:
  void SetUp() override {
    const std::string dir = directory.Path().string();
    for (const std::string name : {"server", "other"}) {
      ASSERT_EQ(
          std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                       "-nodes -days 2 -subj /CN=127.0.0.1 -addext "
                       "subjectAltName=IP:127.0.0.1 -keyout " +
                       dir + "/" + name + ".key -out " + dir + "/" + name + ".pem 2>/dev/null")
                          .c_str()),
          0);
    }
    ASSERT_EQ(std::system(("openssl x509 -noout -fingerprint -sha256 -in " + dir +
                           "/server.pem > " + dir + "/fingerprint")
                              .c_str()),
              0);
    std::ifstream file(dir + "/fingerprint");
    std::getline(file, pinned);
    pinned = pinned.substr(pinned.find('=') + 1);  // "sha256 Fingerprint=AA:BB:..."
    server = Serve("127.0.0.1:0", dir + "/server.pem", dir + "/server.key");
  }
  // Follows with `change` made to the options; true when the first reading reached the status.
  bool Reached(const std::function<void(FollowerOptions&)>& change) {
    readings.Clear();
    auto options = Options(Loopback(server->Ports().at(0)));
    change(options);
    Follow(options);
    EXPECT_TRUE(readings.WaitFor([](const Reading&) { return true; }));
    follower.reset();
    return readings.AnyReached();
  }
  std::string Pem(const std::string& name) { return (directory.Path() / (name + ".pem")).string(); }
  corvale::TemporaryDirectory directory{"corvale-agent-tls"};
  std::string pinned;
  std::unique_ptr<corvale::nut::Server> server;
};

TEST_F(FollowerTlsTest, TheRightCaOrFingerprintPasses) {
  EXPECT_TRUE(Reached([&](FollowerOptions& o) { o.caFile = Pem("server"); })) << readings.Reasons();
  EXPECT_TRUE(Reached([&](FollowerOptions& o) { o.fingerprint = pinned; })) << readings.Reasons();
  EXPECT_EQ(pinned.size(), 32u * 3 - 1) << pinned;
  // As openssl prints it, and with the label some tools put first.
  for (const std::string label : {"sha256 Fingerprint=", "SHA256:"}) {
    EXPECT_TRUE(Reached([&](FollowerOptions& o) { o.fingerprint = label + pinned; }))
        << label << readings.Reasons();
  }
}

TEST_F(FollowerTlsTest, AWrongCaOrFingerprintFailsBeforeTheLogin) {
  EXPECT_FALSE(Reached([&](FollowerOptions& o) { o.caFile = Pem("other"); }));
  EXPECT_NE(readings.Reasons().find("certificate verify failed"), std::string::npos)
      << readings.Reasons();
  pinned[0] = pinned[0] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(Reached([&](FollowerOptions& o) { o.fingerprint = pinned; }));
  EXPECT_NE(readings.Reasons().find("pinned SHA-256 fingerprint"), std::string::npos)
      << readings.Reasons();
  EXPECT_FALSE(Reached([&](FollowerOptions& o) { o.fingerprint = "sha256:"; }));
  EXPECT_FALSE(Reached([&](FollowerOptions& o) { o.fingerprint = "SHA256 Fingerprint="; }));
  EXPECT_NE(readings.Reasons().find("not a SHA-256 (64 hex digits)"), std::string::npos)
      << readings.Reasons();
  EXPECT_EQ(backend.NumLogins(), 0);
}

std::chrono::milliseconds StopTime(Follower& follower) {
  const auto start = std::chrono::steady_clock::now();
  follower.Stop();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

TEST_F(FollowerTest, StopsWithinASecondWhereverItIs) {
  auto options = Options("");
  options.replyTimeout = 10s;
  options.firstBackoff = 10s;
  {
    // Connecting: a listener that never accepts, its queue full, drops the follower's SYN.
    FakeServer full(nullptr, 0);
    int fillers[2];
    sockaddr_in address = {AF_INET, htons(static_cast<std::uint16_t>(full.port)), {}, {}};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int& fd : fillers) {
      fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    options.server = Loopback(full.port);
    Follow(options);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(readings.Reasons(), "") << "still connecting";
    EXPECT_LT(StopTime(*follower), 1s);
    for (const int fd : fillers) close(fd);
  }
  // Backing off, after a refused connection.
  options.server = Loopback(corvale::testing::FreePort());
  Follow(options);
  ASSERT_TRUE(readings.WaitFor([](const Reading& r) { return !r.reached; }));
  EXPECT_LT(StopTime(*follower), 1s);
  // Waiting for a server that says nothing.
  FakeServer silent(Answering([](auto&) { return ""; }));
  options.server = Loopback(silent.port);
  Follow(options);
  ASSERT_TRUE(Eventually([&] { return silent.connections == 1; }));
  EXPECT_LT(StopTime(*follower), 1s);
}

TEST_F(FollowerTest, StopsAtAnyMomentFromTwoThreadsWithLogOutBetween) {
  auto server = Serve("127.0.0.1:0");
  auto options = Options(Loopback(server->Ports().at(0)));
  options.pollEvery = 1ms;
  for (int i = 0; i < 20; ++i) {
    Follow(options);
    std::this_thread::sleep_for(std::chrono::milliseconds(i));
    if (i % 3 == 0) follower->LogOut();
    std::thread other([&] { follower->Stop(); });
    follower->Stop();
    other.join();
  }
  follower.reset();
  EXPECT_TRUE(Eventually([&] { return backend.NumLogins() == 0; }));
}

TEST_F(FollowerTest, AReportMayStopItsOwnFollower) {
  auto server = Serve("127.0.0.1:0");
  std::atomic<int> reports{0};
  Follower own(Options(Loopback(server->Ports().at(0))), log, [&](const Reading&) {
    ++reports;
    own.Stop();
  });
  own.Start();
  EXPECT_TRUE(Eventually([&] { return reports == 1; }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(reports, 1) << "no report once stopped";
  own.Stop();  // and now it waits for the thread
}

}  // namespace

namespace {

using corvale::host::Observation;
using corvale::host::agent::FollowerSource;
using corvale::host::agent::ObservationFromStatus;

TEST(ObservationFromStatus, ReadsTheWordsThisUpsHasAndIgnoresTheRest) {
  const auto when = corvale::host::Clock::now();
  struct Case {
    const char* status;
    std::uint32_t state;
    bool onBattery, low, forced;
  };
  for (const Case& c :
       {Case{"OL", 1, false, false, false}, Case{"OB", 2, true, false, false},
        Case{"OB LB", 4, true, true, false}, Case{"FSD OB LB", 4, true, true, true},
        Case{"OL CHRG BYPASS", 1, false, false, false}, Case{"LB", 0, false, true, false},
        Case{"FSD", 0, false, false, true}, Case{"", 0, false, false, false},
        Case{"OLD FSDX", 0, false, false, false}}) {
    const Observation seen = ObservationFromStatus(c.status, when);
    EXPECT_EQ(seen.state, c.state) << c.status;
    EXPECT_EQ(seen.polled, c.state == 0 ? 8u : c.state) << c.status;
    EXPECT_EQ(seen.flags.onBattery, c.onBattery) << c.status;
    EXPECT_EQ(seen.flags.lowBattery, c.low) << c.status;
    EXPECT_EQ(seen.forcedShutdown, c.forced) << c.status;
  }
}

// The observations an agent's host would act on, kept for the test.
class SourceTest : public FollowerTest {
 protected:
  void StartSource(FollowerOptions options, std::chrono::milliseconds deadtime) {
    source = std::make_unique<FollowerSource>(options, deadtime, log, [this](const Observation& o) {
      std::lock_guard lock(mutex);
      seen.push_back(o);
    });
    runner = std::thread([this] { source->Run(); });
  }
  bool Saw(const std::function<bool(const Observation&)>& matches) {
    return Eventually([&] {
      std::lock_guard lock(mutex);
      return !seen.empty() && matches(seen.back());
    });
  }
  void TearDown() override {
    if (source) source->Stop();
    if (runner.joinable()) runner.join();
  }
  std::mutex mutex;
  std::vector<Observation> seen;
  std::unique_ptr<FollowerSource> source;
  std::thread runner;
};

TEST_F(SourceTest, AStaleOrSilentServerHoldsTheLastStateUntilDeadtimeThenCountsAsLost) {
  auto server = Serve("127.0.0.1:0");
  StartSource(Options(Loopback(server->Ports().at(0))), 1500ms);
  ASSERT_TRUE(Saw([](const Observation& o) { return o.polled == 1 && !o.linkLost; }));
  EXPECT_TRUE(source->Facts().connected);
  backend.SetStatus("OB");
  ASSERT_TRUE(Saw([](const Observation& o) { return o.polled == 2 && o.flags.onBattery; }));
  const auto staleSince = std::chrono::steady_clock::now();
  backend.SetStatus(std::nullopt);
  ASSERT_TRUE(Saw([](const Observation& o) { return o.polled == 8 && o.state == 2; }));
  EXPECT_FALSE(source->Facts().connected);
  EXPECT_EQ(source->Facts().problem, "the server's data is stale");
  ASSERT_TRUE(Saw([](const Observation& o) { return o.linkLost && o.state == 2; }));
  EXPECT_GE(std::chrono::steady_clock::now() - staleSince, 1400ms) << "not before deadtime";
  // A server gone for good: the same, and the time keeps counting without readings.
  backend.SetStatus("OL");
  ASSERT_TRUE(Saw([](const Observation& o) { return o.polled == 1 && !o.linkLost; }));
  server.reset();
  ASSERT_TRUE(Saw([](const Observation& o) { return o.linkLost && o.state == 1; }));
  EXPECT_FALSE(source->LogOut(1s)) << "nobody heard a LOGOUT";
  std::lock_guard lock(mutex);
  EXPECT_FALSE(
      std::any_of(seen.begin(), seen.end(), [](const Observation& o) { return o.forcedShutdown; }));
}

TEST_F(SourceTest, FsdIsPassedOnEvenFromAPrimaryThatLostItsUps) {
  auto server = Serve("127.0.0.1:0");
  StartSource(Options(Loopback(server->Ports().at(0))), 10s);
  ASSERT_TRUE(Saw([](const Observation& o) { return o.polled == 1; }));
  backend.SetStatus("FSD");
  ASSERT_TRUE(Saw([](const Observation& o) { return o.forcedShutdown && o.state == 1; }));
  // The primary waits for this login until the agent's own shutdown logs it out.
  EXPECT_EQ(backend.NumLogins(), 1);
  EXPECT_TRUE(source->LogOut(2s));
  EXPECT_TRUE(Eventually([&] { return backend.NumLogins() == 0; }));
}

TEST_F(SourceTest, JunkFromTheServerIsALossNeverAState) {
  FakeServer junk(Answering([](const std::string& line) {
    return line.starts_with("GET") ? std::string("VAR ups1 ups.status \"OB LB\" trailing\n")
                                   : std::string("OK\n");
  }));
  StartSource(Options(Loopback(junk.port)), 1s);
  ASSERT_TRUE(Saw([](const Observation& o) { return o.linkLost; }));
  std::lock_guard lock(mutex);
  EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](const Observation& o) {
    return o.state == 0 && o.polled == 8 && !o.forcedShutdown;
  }));
}

}  // namespace
