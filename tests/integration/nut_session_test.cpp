// The NUT protocol's replies, line by line, without a network: what a client is told, what it may
// do, and what reaches the service.
#include "host/nut/nut_session.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "host/listening.h"
#include "host/nut/nut_backend.h"
#include "host/nut/nut_server.h"
#include "simulator/temporary_directory.h"
#include "tests/support/fake_nut_backend.h"
#include "tests/support/free_port.h"
#include "tests/support/raw_client.h"
#include "tests/support/tls_client.h"

namespace {

using corvale::nut::Session;
using corvale::testing::FakeNutBackend;
using corvale::testing::RawClient;
using corvale::testing::TlsClient;

// Each case: requests in one session, and the replies expected, joined.
struct Conversation {
  const char* name;
  std::vector<std::string> requests;
  std::string replies;
};

class NutSessionTest : public ::testing::Test {
 protected:
  std::string Talk(Session& session, const std::vector<std::string>& requests) {
    std::string replies;
    for (const auto& request : requests) {
      replies += session.Handle(request, [&](std::string reply) { replies += reply; }).reply;
    }
    return replies;
  }
  FakeNutBackend backend;
};

TEST_F(NutSessionTest, RepliesAsNutClientsExpectThem) {
  const Conversation conversations[] = {
      {"list ups",
       {"LIST UPS"},
       "BEGIN LIST UPS\nUPS ups1 \"A \\\"quoted\\\" UPS\"\nEND LIST UPS\n"},
      {"list var",
       {"LIST VAR ups1"},
       "BEGIN LIST VAR ups1\nVAR ups1 ups.status \"OL\"\nVAR ups1 ups.delay.shutdown \"120\"\n"
       "END LIST VAR ups1\n"},
      {"list rw",
       {"LIST RW ups1"},
       "BEGIN LIST RW ups1\nRW ups1 ups.delay.shutdown \"120\"\nEND LIST RW ups1\n"},
      {"list cmd",
       {"LIST CMD ups1"},
       "BEGIN LIST CMD ups1\nCMD ups1 shutdown.return\nEND LIST CMD ups1\n"},
      {"list range",
       {"LIST RANGE ups1 ups.delay.shutdown"},
       "BEGIN LIST RANGE ups1 ups.delay.shutdown\nRANGE ups1 ups.delay.shutdown \"0\" \"999\"\n"
       "END LIST RANGE ups1 ups.delay.shutdown\n"},
      {"get var, quoted name", {"GET VAR \"ups1\" ups.status"}, "VAR ups1 ups.status \"OL\"\n"},
      {"get type",
       {"GET TYPE ups1 ups.delay.shutdown", "GET TYPE ups1 ups.status"},
       "TYPE ups1 ups.delay.shutdown RW RANGE NUMBER\nTYPE ups1 ups.status STRING:2\n"},
      {"get desc",
       {"GET DESC ups1 ups.status", "GET CMDDESC ups1 shutdown.return"},
       "DESC ups1 ups.status \"UPS status\"\nCMDDESC ups1 shutdown.return \"Turn off the load "
       "and return when power is back\"\n"},
      {"unknown",
       {"GET VAR ups2 ups.status", "GET VAR ups1 battery.charge", "FROB", "LIST"},
       "ERR UNKNOWN-UPS\nERR VAR-NOT-SUPPORTED\nERR UNKNOWN-COMMAND\nERR INVALID-ARGUMENT\n"},
      {"versions", {"NETVER", "PROTVER"}, "1.3\n1.3\n"},
      {"no tls here", {"STARTTLS"}, "ERR FEATURE-NOT-CONFIGURED\n"},
      {"one of each",
       {"USERNAME mon", "USERNAME admin", "PASSWORD pw", "PASSWORD x", "LOGIN ups1", "LOGIN ups1"},
       "OK\nERR ALREADY-SET-USERNAME\nOK\nERR ALREADY-SET-PASSWORD\nOK\nERR ALREADY-LOGGED-IN\n"},
      {"credentials first",
       {"LOGIN ups1", "USERNAME mon", "LOGIN ups1", "INSTCMD ups1 x"},
       "ERR USERNAME-REQUIRED\nOK\nERR PASSWORD-REQUIRED\nERR PASSWORD-REQUIRED\n"},
      {"wrong password",
       {"USERNAME admin", "PASSWORD s3cre", "SET VAR ups1 ups.delay.shutdown 30"},
       "OK\nOK\nERR ACCESS-DENIED\n"},
      {"rights",
       {"USERNAME mon", "PASSWORD pw", "SET VAR ups1 ups.delay.shutdown 30",
        "INSTCMD ups1 shutdown.return", "FSD ups1", "PRIMARY ups1"},
       "OK\nOK\nERR ACCESS-DENIED\nERR ACCESS-DENIED\nERR ACCESS-DENIED\nERR ACCESS-DENIED\n"},
      {"admin",
       {"USERNAME admin", "PASSWORD s3cret", "SET VAR ups1 ups.delay.shutdown \"30\"",
        "SET VAR ups1 ups.status OB", "SET VAR ups1 ups.delay.shutdown 1000",
        "INSTCMD ups1 shutdown.return", "INSTCMD ups1 load.off", "LOGIN ups1"},
       "OK\nOK\nOK\nERR READONLY\nERR INVALID-VALUE\nOK\nERR ACCESS-DENIED\nERR ACCESS-DENIED\n"},
      {"primary",
       {"USERNAME boss", "PASSWORD pw", "PRIMARY ups1", "MASTER ups1", "FSD ups1"},
       "OK\nOK\nOK PRIMARY-GRANTED\nOK MASTER-GRANTED\nOK FSD-SET\n"},
      // A drill: asked only by who may force a shutdown, answered only by a logged-in machine,
      // and offered only to those who ask for it by name.
      {"drill rights",
       {"DRILL ups1", "USERNAME mon", "PASSWORD pw", "DRILL ups1", "DRILL ups1 ANSWER 1 1 \"ok\"",
        "LOGIN ups1", "DRILL ups1 ANSWER x 1 \"ok\"", "DRILL ups1 ANSWER 1 1 \"ok\"",
        "GET VAR ups1 corvale.drill"},
       "ERR USERNAME-REQUIRED\nOK\nOK\nERR ACCESS-DENIED\nERR ACCESS-DENIED\nOK\n"
       "ERR INVALID-ARGUMENT\nOK\nVAR ups1 corvale.drill \"0\"\n"},
      {"logout", {"LOGOUT"}, "OK Goodbye\n"},
  };
  for (const auto& c : conversations) {
    FakeNutBackend fresh;
    Session session(fresh, "192.0.2.1");
    EXPECT_EQ(Talk(session, c.requests), c.replies) << c.name;
    if (std::string(c.name) == "admin") {
      EXPECT_EQ(fresh.set.size(), 1u);
      EXPECT_EQ(fresh.commands, std::vector<std::string>{"shutdown.return"});
    }
    if (std::string(c.name) == "primary") {
      EXPECT_EQ(fresh.forcedBy, std::vector<std::string>{"boss"});
    }
  }
}

TEST_F(NutSessionTest, LoginsAreCountedUntilTheSessionEnds) {
  {
    Session session(backend, "192.0.2.7");
    Talk(session, {"USERNAME mon", "PASSWORD pw", "LOGIN ups1"});
    EXPECT_EQ(
        Talk(session, {"GET NUMLOGINS ups1", "LIST CLIENT ups1"}),
        "NUMLOGINS ups1 1\nBEGIN LIST CLIENT ups1\nCLIENT ups1 192.0.2.7\nEND LIST CLIENT ups1\n");
  }
  EXPECT_EQ(backend.NumLogins(), 0) << "a closed connection logs out";
}

// A restart of the server (a reload) ends the logins, but the machines behind them are waited for
// until they log in again or their time is up; one back counts once, however many went before.
TEST(ServiceBackendTest, LoginsARestartEndsCountUntilTheMachineIsBack) {
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  corvale::nut::ServiceBackend backend({}, log);
  const std::string address = "192.0.2.7";
  int first = 0, second = 0, third = 0, fourth = 0;
  backend.Login(&first, address, "mon");
  backend.Login(&second, address, "mon");
  backend.KeepLoginsThrough(
      [&] {
        backend.Logout(&first);
        backend.Logout(&second);
      },
      std::chrono::seconds(1));
  EXPECT_EQ(backend.NumLogins(), 2);
  backend.Login(&third, address, "mon");
  EXPECT_EQ(backend.NumLogins(), 2) << "one is back, one is still awaited";
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(backend.NumLogins(), 1) << "the other's time is up";
  backend.KeepLoginsThrough([&] { backend.Logout(&third); }, std::chrono::seconds(30));
  backend.Login(&fourth, address, "mon");
  EXPECT_EQ(backend.NumLogins(), 1) << "the one back is the one awaited, not one long gone";
  backend.Logout(&fourth);
  EXPECT_EQ(backend.NumLogins(), 0) << "a logout outside a restart ends the login";
  backend.Stop();
  std::fclose(sink);
}

// A drill's report that comes after its server was replaced (a reload) goes nowhere.
TEST(ServiceBackendTest, ADrillOutlivingItsServerEndsQuietly) {
  std::FILE* sink = std::tmpfile();
  corvale::host::Logger log(false, sink);
  corvale::nut::ServiceBackend backend(
      {"ups1", {{"boss", "pw", corvale::nut::User::Upsmon::kPrimary, false, false, {}}}}, log);
  backend.SetDrill([](const std::string&, const auto&, const auto&) { return "END DRILL ups1\n"; },
                   std::chrono::milliseconds(500));
  auto server = std::make_unique<corvale::nut::Server>(
      backend, corvale::nut::ServerOptions{.listen = {"127.0.0.1:0"}, .certificate = "", .key = ""},
      log);
  std::string error;
  ASSERT_TRUE(server->Start(&error)) << error;
  RawClient client(server->Ports().at(0));
  client.Send("USERNAME boss\nPASSWORD pw\nDRILL ups1\n");
  EXPECT_EQ(client.Line(), "OK");
  EXPECT_EQ(client.Line(), "OK");
  server.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // the report is due meanwhile
  backend.Stop();
  std::fclose(sink);
}

TEST_F(NutSessionTest, StaleDataAndTls) {
  backend.variables.reset();
  backend.tls = true;
  Session session(backend, "192.0.2.1");
  EXPECT_EQ(Talk(session, {"GET VAR ups1 ups.status", "LIST VAR ups1", "GET DESC ups1 ups.status"}),
            "ERR DATA-STALE\nERR DATA-STALE\nDESC ups1 ups.status \"UPS status\"\n");
  const auto upgrade = session.Handle("STARTTLS");
  EXPECT_EQ(upgrade.reply, "OK STARTTLS\n");
  EXPECT_TRUE(upgrade.startTls);
  session.TlsStarted();
  EXPECT_EQ(Talk(session, {"STARTTLS"}), "ERR ALREADY-SSL-MODE\n");
}

TEST_F(NutSessionTest, WhatWasSaidInTheClearIsForgottenOnceTlsStarts) {
  backend.tls = true;
  Session session(backend, "192.0.2.1");
  EXPECT_EQ(Talk(session, {"USERNAME mon", "PASSWORD pw", "LOGIN ups1", "STARTTLS"}),
            "OK\nOK\nOK\nOK STARTTLS\n");
  EXPECT_EQ(backend.NumLogins(), 1);
  session.TlsStarted();
  EXPECT_EQ(backend.NumLogins(), 0) << "the login in the clear ended";
  EXPECT_FALSE(session.LoggedIn());
  EXPECT_EQ(Talk(session, {"INSTCMD ups1 shutdown.return", "USERNAME admin", "INSTCMD ups1 x"}),
            "ERR USERNAME-REQUIRED\nOK\nERR PASSWORD-REQUIRED\n");
  // Through TLS, all of it may be said again.
  EXPECT_EQ(Talk(session, {"PASSWORD s3cret", "INSTCMD ups1 shutdown.return"}), "OK\nOK\n");
  EXPECT_EQ(Session::AsksForTls("STARTTLS"), true);
  EXPECT_EQ(Session::AsksForTls(" \"STARTTLS\" x"), true);
  EXPECT_EQ(Session::AsksForTls("STARTTLSX"), false);
  EXPECT_EQ(Session::AsksForTls("GET VAR STARTTLS x"), false);
}

TEST(NutServerTest, AnIdleClientIsDroppedAndItsLoginEnds) {
  FakeNutBackend backend;
  corvale::host::Logger log(false);
  corvale::nut::ServerOptions options;
  options.listen = {"127.0.0.1:0"};
  options.idleTimeout = std::chrono::milliseconds(300);
  auto server = std::make_unique<corvale::nut::Server>(backend, options, log);
  std::string error;
  ASSERT_TRUE(server->Start(&error)) << error;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval wait = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(server->Ports().at(0));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string login = "USERNAME mon\nPASSWORD pw\nLOGIN ups1\n";
  ASSERT_EQ(send(fd, login.data(), login.size(), 0), static_cast<ssize_t>(login.size()));
  // The replies, then the end of the connection once it has been quiet for the idle time.
  std::string received;
  char bytes[256];
  ssize_t count;
  while ((count = recv(fd, bytes, sizeof bytes, 0)) > 0) received.append(bytes, count);
  close(fd);
  EXPECT_EQ(received, "OK\nOK\nOK\n");
  EXPECT_EQ(count, 0) << "closed by the server, not by our own time-out";
  server.reset();
  EXPECT_EQ(backend.NumLogins(), 0);
}

// A client socket on the loopback (IPv4, or IPv6's ::1), with a 5 s bound on each receive.
int Connect(unsigned short port, bool v6 = false) {
  const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  timeval wait = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in6 address6 = {};
  address6.sin6_family = AF_INET6;
  address6.sin6_port = htons(port);
  address6.sin6_addr = in6addr_loopback;
  const int connected = v6 ? connect(fd, reinterpret_cast<sockaddr*>(&address6), sizeof address6)
                           : connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (connected != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends `line` and reads the reply up to `last` (a whole reply's end); empty when the server
// closed the connection first.
std::string Ask(int fd, const std::string& line, const std::string& last = "\n") {
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
    return {};
  }
  std::string received;
  char byte;
  while (received.size() < last.size() ||
         received.compare(received.size() - last.size(), last.size(), last) != 0) {
    if (recv(fd, &byte, 1, 0) != 1) return {};
    received += byte;
  }
  return received;
}

// True when the server has closed the connection (end of stream within the receive bound).
bool ClosedByServer(int fd) {
  char byte;
  return recv(fd, &byte, 1, 0) == 0;
}

class NutServerBoundsTest : public ::testing::Test {
 protected:
  void Serve(std::size_t maxClients, std::chrono::milliseconds idle,
             std::vector<std::string> listen = {"127.0.0.1:0"}) {
    corvale::nut::ServerOptions options;
    options.listen = std::move(listen);
    options.retryEvery = std::chrono::milliseconds(50);
    options.maxClients = maxClients;
    options.idleTimeout = idle;
    server = std::make_unique<corvale::nut::Server>(backend, options, log);
    std::string error;
    ASSERT_TRUE(server->Start(&error)) << error;
  }
  void TearDown() override {
    for (const int fd : fds) close(fd);
  }
  FakeNutBackend backend;
  // What the server logged so far, read beside its writing (the file's own position stays).
  std::string Logged() {
    std::string text(65536, '\0');
    const ssize_t count = pread(fileno(logFile), text.data(), text.size(), 0);
    text.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return text;
  }
  std::FILE* logFile = std::tmpfile();
  corvale::host::Logger log{false, logFile};
  std::unique_ptr<corvale::nut::Server> server;
  std::vector<int> fds;
};

TEST_F(NutServerBoundsTest, WhenFullTheQuietestSquatterMakesRoomButNoLoggedInClient) {
  Serve(3, std::chrono::seconds(30));
  const auto port = server->Ports().at(0);
  for (int i = 0; i < 3; ++i) {
    fds.push_back(Connect(port));
    EXPECT_EQ(Ask(fds.back(), "NETVER\n"), "1.3\n") << "client " << i + 1;
  }
  // A fourth: the first, quiet the longest and not logged in, gives up its place.
  EXPECT_EQ(Ask(fds[2], "NETVER\n"), "1.3\n");
  fds.push_back(Connect(port));
  EXPECT_EQ(Ask(fds.back(), "NETVER\n"), "1.3\n");
  EXPECT_TRUE(ClosedByServer(fds[0]));
  EXPECT_EQ(Ask(fds[1], "NETVER\n"), "1.3\n") << "exactly one made room";

  // Logged-in upsmons keep their places: with all three logged in, a newcomer is turned away.
  for (const std::size_t i : {1u, 2u, 3u}) {
    EXPECT_EQ(Ask(fds[i], "USERNAME mon\nPASSWORD pw\nLOGIN ups1\n", "OK\nOK\nOK\n"),
              "OK\nOK\nOK\n");
  }
  fds.push_back(Connect(port));
  EXPECT_TRUE(ClosedByServer(fds.back()));
  EXPECT_EQ(backend.NumLogins(), 3);
}

TEST_F(NutServerBoundsTest, AClientThatNeverSpeaksIsDropped) {
  Serve(4, std::chrono::milliseconds(300));
  fds.push_back(Connect(server->Ports().at(0)));
  EXPECT_TRUE(ClosedByServer(fds.back()));
}

TEST_F(NutServerBoundsTest, AClientThatReadsItsRepliesIsNeverDroppedForTheirTotal) {
  Serve(4, std::chrono::seconds(30));
  fds.push_back(Connect(server->Ports().at(0)));
  std::size_t total = 0;
  for (int i = 0; i < 10000 && total <= 200 * 1024; ++i) {
    const auto reply = Ask(fds.back(), "LIST VAR ups1\n", "END LIST VAR ups1\n");
    ASSERT_FALSE(reply.empty()) << "dropped after " << total << " bytes";
    total += reply.size();
  }
  EXPECT_GT(total, 200u * 1024);
}

TEST_F(NutServerBoundsTest, RepliesKeepTheOrderOfPipelinedLines) {
  Serve(4, std::chrono::seconds(30));
  fds.push_back(Connect(server->Ports().at(0)));
  // A line too long between two good ones, and far more lines in one segment than are read
  // ahead: every reply, each in its turn.
  std::string lines = "NETVER\n" + std::string(600, 'x') + "\nNETVER\n";
  std::string expected = "1.3\nERR TOO-LONG\n1.3\n";
  for (int i = 0; i < 40; ++i) {
    lines += "GET NUMLOGINS ups" + std::to_string(i % 2 + 1) + "\n";
    expected += i % 2 == 0 ? "NUMLOGINS ups1 0\n" : "ERR UNKNOWN-UPS\n";
  }
  ASSERT_EQ(send(fds.back(), lines.data(), lines.size(), 0), static_cast<ssize_t>(lines.size()));
  std::string received;
  char byte;
  while (received.size() < expected.size() && recv(fds.back(), &byte, 1, 0) == 1) received += byte;
  EXPECT_EQ(received, expected);
  EXPECT_EQ(Ask(fds.back(), "NETVER\n"), "1.3\n") << "still connected";
}

TEST_F(NutServerBoundsTest, BothFamiliesAtOnePortAndAnAddressNotYetThereIsRetried) {
  const std::string port = std::to_string(corvale::testing::FreePort());
  // 192.0.2.1 is assigned to nobody (TEST-NET-1): it cannot be bound, now or later here.
  Serve(8, std::chrono::seconds(30), {"0.0.0.0:" + port, "[::]:" + port, "192.0.2.1:" + port});
  ASSERT_EQ(server->Ports().size(), 2u);
  fds.push_back(Connect(static_cast<unsigned short>(std::stoi(port))));
  EXPECT_EQ(Ask(fds.back(), "NETVER\n"), "1.3\n");
  fds.push_back(Connect(static_cast<unsigned short>(std::stoi(port)), true));
  EXPECT_EQ(Ask(fds.back(), "NETVER\n"), "1.3\n");
  // Tried again every 50 ms here, and said once.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::string logged = Logged();
  EXPECT_NE(logged.find("cannot listen on 192.0.2.1:" + port), std::string::npos) << logged;
  EXPECT_EQ(logged.find("cannot listen"), logged.rfind("cannot listen")) << logged;
}

TEST_F(NutServerBoundsTest, OutOfDescriptorsPausesAcceptingAndThenServesAgain) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own runtime needs file descriptors to report anything";
#endif
  Serve(64, std::chrono::seconds(30));
  const auto port = server->Ports().at(0);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Room for exactly three more files, whatever is open already: the first client and its
  // accepted socket, then the second client, whose accepting finds no room.
  const int lowest = dup(0);
  close(lowest);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest + 16);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::vector<int> fillers;
  for (int fd; (fd = dup(0)) >= 0;) fillers.push_back(fd);
  for (int i = 0; i < 3 && !fillers.empty(); ++i) {
    close(fillers.back());
    fillers.pop_back();
  }
  fds.push_back(Connect(port));
  EXPECT_EQ(Ask(fds.back(), "NETVER\n"), "1.3\n");
  fds.push_back(Connect(port));
  ASSERT_GE(fds.back(), 0);
  std::string logged;
  for (int i = 0; i < 100 && logged.find("cannot accept") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    logged = Logged();
  }
  for (const int fd : fillers) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_NE(logged.find("cannot accept NUT clients"), std::string::npos) << logged;
  EXPECT_EQ(logged.find("cannot accept"), logged.rfind("cannot accept")) << "said once";
  // Accepting comes back: the client that waited is served.
  EXPECT_EQ(Ask(fds.back(), "NETVER\n"), "1.3\n");
}

// STARTTLS on the real server, with OpenSSL as the client: the handshake begins with no
// plaintext read outstanding, and nothing said or sent in the clear counts behind it.
class NutStartTlsTest : public NutServerBoundsTest {
 protected:
  void SetUp() override {
    certificate = (directory.Path() / "cert.pem").string();
    key = (directory.Path() / "key.pem").string();
    ASSERT_TRUE(corvale::testing::WriteSelfSignedCertificate(certificate, key));
    backend.tls = true;
    backend.holdCommands = true;
    corvale::nut::ServerOptions options;
    options.listen = {"127.0.0.1:0"};
    options.certificate = certificate;
    options.key = key;
    server = std::make_unique<corvale::nut::Server>(backend, options, log);
    std::string error;
    ASSERT_TRUE(server->Start(&error)) << error;
    port = server->Ports().at(0);
  }
  corvale::TemporaryDirectory directory{"corvale-nut-tls"};
  std::string certificate, key;
  int port = 0;
};

TEST_F(NutStartTlsTest, StartTlsQueuedBehindAPendingCommandStillHandshakes) {
  RawClient client(port);
  // STARTTLS waits behind an instant command that has not answered yet.
  client.Send("USERNAME admin\nPASSWORD s3cret\nINSTCMD ups1 shutdown.return\nSTARTTLS\n");
  EXPECT_EQ(client.Line(), "OK");
  EXPECT_EQ(client.Line(), "OK");
  const auto answer = backend.HeldCommand(1);
  ASSERT_TRUE(answer);
  answer("OK\n");
  EXPECT_EQ(client.Line(), "OK");
  EXPECT_EQ(client.Line(), "OK STARTTLS");
  ASSERT_FALSE(client.Buffered());
  TlsClient tls(client.Fd());
  ASSERT_TRUE(tls.Connected()) << "the server's plaintext read took the client's hello";
  // The user and password given in the clear were forgotten.
  tls.Send("INSTCMD ups1 shutdown.return\nNETVER\n");
  EXPECT_EQ(tls.Line(), "ERR USERNAME-REQUIRED");
  EXPECT_EQ(tls.Line(), "1.3");
  EXPECT_EQ(backend.HeldCommands(), 1u);
}

TEST_F(NutStartTlsTest, PlaintextBehindStartTlsIsNeverRun) {
  // In the same segment as STARTTLS, behind a pending command: dropped, and the handshake works.
  {
    RawClient client(port);
    client.Send(
        "USERNAME admin\nPASSWORD s3cret\nINSTCMD ups1 shutdown.return\nSTARTTLS\n"
        "INSTCMD ups1 shutdown.return\n");
    EXPECT_EQ(client.Line(), "OK");
    EXPECT_EQ(client.Line(), "OK");
    backend.HeldCommand(1)("OK\n");
    EXPECT_EQ(client.Line(), "OK");
    EXPECT_EQ(client.Line(), "OK STARTTLS");
    TlsClient tls(client.Fd());
    ASSERT_TRUE(tls.Connected());
    tls.Send("NETVER\n");
    EXPECT_EQ(tls.Line(), "1.3");
    EXPECT_EQ(backend.HeldCommands(), 1u);
  }
  // Sent after "OK STARTTLS" where the hello belongs: the handshake fails and the server closes.
  {
    RawClient client(port);
    client.Send("USERNAME admin\nPASSWORD s3cret\nSTARTTLS\n");
    EXPECT_EQ(client.Line(), "OK");
    EXPECT_EQ(client.Line(), "OK");
    EXPECT_EQ(client.Line(), "OK STARTTLS");
    client.Send("INSTCMD ups1 shutdown.return\n");
    const std::string rest = client.Rest();
    EXPECT_EQ(rest.find("OK"), std::string::npos) << rest;
    EXPECT_EQ(client.Line(), "<closed>");
  }
  // A STARTTLS refused (TLS already on) leaves what followed it as ordinary requests.
  {
    RawClient client(port);
    client.Send("STARTTLS\n");
    EXPECT_EQ(client.Line(), "OK STARTTLS");
    TlsClient tls(client.Fd());
    ASSERT_TRUE(tls.Connected());
    tls.Send("STARTTLS\nNETVER\nSTARTTLS\nVER\n");
    EXPECT_EQ(tls.Line(), "ERR ALREADY-SSL-MODE");
    EXPECT_EQ(tls.Line(), "1.3");
    EXPECT_EQ(tls.Line(), "ERR ALREADY-SSL-MODE");
    EXPECT_EQ(tls.Line().rfind("corvale-ups", 0), 0u);
  }
  EXPECT_EQ(backend.HeldCommands(), 1u) << "only the command sent before STARTTLS";
}

// The per-address caps of the NUT and HTTP servers count by what one remote machine can hold: an
// IPv4 address, or an IPv6 /64 (a machine there may take any address in it at will).
TEST(ClientCapsTest, IPv6CountsByItsSlash64AndMappedIPv4AsIPv4) {
  using corvale::host::AddressGroup;
  using corvale::host::LoopbackClient;
  const auto group = [](const char* text) { return AddressGroup(asio::ip::make_address(text)); };
  EXPECT_EQ(group("192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(group("::ffff:192.0.2.7"), "192.0.2.7");
  EXPECT_NE(group("192.0.2.7"), group("192.0.2.8"));
  EXPECT_EQ(group("2001:db8:1:2::1"), group("2001:db8:1:2:ffff:ffff:ffff:fffe"));
  EXPECT_EQ(group("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
  EXPECT_NE(group("2001:db8:1:2::1"), group("2001:db8:1:3::1"));
  EXPECT_EQ(group("fe80::1%1"), group("fe80::2%1"));
  for (const char* loopback : {"127.0.0.1", "127.8.9.1", "::1", "::ffff:127.0.0.1"}) {
    EXPECT_TRUE(LoopbackClient(asio::ip::make_address(loopback))) << loopback;
  }
  for (const char* remote : {"192.0.2.7", "::2", "::ffff:192.0.2.7", "2001:db8::1"}) {
    EXPECT_FALSE(LoopbackClient(asio::ip::make_address(remote))) << remote;
  }
}

TEST(NutWordsTest, QuotesAndEscapesRoundTrip) {
  using corvale::nut::Quote;
  using corvale::nut::SplitWords;
  EXPECT_EQ(SplitWords("SET VAR u \"a \\\"b\\\" \\\\c\""),
            (std::vector<std::string>{"SET", "VAR", "u", "a \"b\" \\c"}));
  EXPECT_EQ(Quote("a \"b\" \\c"), "\"a \\\"b\\\" \\\\c\"");
  EXPECT_FALSE(SplitWords("GET \"open"));
  EXPECT_EQ(SplitWords("  A\t\"\"  B\r"), (std::vector<std::string>{"A", "", "B"}));
  EXPECT_TRUE(corvale::nut::SamePassword("pw", "pw"));
  for (const char* other : {"", "p", "pW", "pww", "wp"}) {
    EXPECT_FALSE(corvale::nut::SamePassword(other, "pw")) << other;
  }
}

}  // namespace
