// The service's NUT server against the real NUT clients (upsc, upscmd, upsrw, PyNUTClient and
// upsmon as a secondary) and against clients that misbehave.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/free_port.h"
#include "tests/support/raw_client.h"
#include "tests/support/service_fixture.h"

namespace {

using corvale::UpsPeer;
using corvale::testing::FreePort;
using corvale::testing::RawClient;
using corvale::testing::ReadFile;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint16_t kOnBatt = 0x0001, kLowBatt = 0x0004;

struct Output {
  int status;
  std::string text;
};

// A client program's exit status and its output, standard error included unless `quiet`.
Output RunClient(const std::string& command, bool quiet = false) {
  Subprocess run({"/bin/sh", "-c", command + (quiet ? " 2>/dev/null" : " 2>&1")});
  Output output{0, {}};
  output.text += run.ReadAll(20s);
  output.status = run.Wait(10s);
  return output;
}

// A raw protocol client on a socket.
class NutClientsTest : public corvale::testing::ServiceFixture {
 protected:
  std::string Network(int maxClients = 64, const std::string& tls = {}) {
    return "[network]\n" + tls + "listen = [\"127.0.0.1:" + std::to_string(port) +
           "\"]\nhostsync_seconds = 30\nmax_clients = " + std::to_string(maxClients) +
           "\n[[users]]\nname = \"admin\"\npassword = \"s3cret\"\nactions = [\"SET\"]\n"
           "instcmds = [\"shutdown.return\"]\n[[users]]\nname = \"mon\"\npassword = \"pw\"\n"
           "upsmon = \"secondary\"\n[[users]]\nname = \"boss\"\npassword = \"b0ss\"\n"
           "upsmon = \"primary\"\n";
  }
  fs::path PrivateConfig(const std::string& shutdownCommand, int maxClients = 64,
                         const std::string& tls = {}) {
    const auto path = WriteConfig(shutdownCommand, Network(maxClients, tls));
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    return path;
  }
  std::string Ups() const { return "test-ups@127.0.0.1:" + std::to_string(port); }

  // upsmon as a secondary, in a mount namespace of its own so that its PID file stays private.
  std::unique_ptr<Subprocess> StartUpsmon(int deadTime, const std::string& extra = {}) {
    const fs::path conf = Dir() / "nut";
    fs::create_directories(conf);
    std::ofstream(conf / "upsmon.conf")
        << "MONITOR " << Ups() << " 1 mon pw secondary\nMINSUPPLIES 1\n"
        << "SHUTDOWNCMD \"/bin/touch " << (Dir() / "upsmon-shut-down").string() << "\"\n"
        << "NOTIFYCMD " << (Dir() / "notify.sh").string() << "\n"
        << "NOTIFYFLAG ONBATT EXEC\nNOTIFYFLAG FSD EXEC\nPOLLFREQ 1\nPOLLFREQALERT 1\n"
        << "DEADTIME " << deadTime << "\nFINALDELAY 0\nPOWERDOWNFLAG "
        << (Dir() / "upsmon-flag").string() << "\n"
        << extra;
    fs::permissions(conf / "upsmon.conf", fs::perms::owner_read | fs::perms::owner_write);
    std::ofstream(Dir() / "notify.sh")
        << "#!/bin/sh\necho \"$NOTIFYTYPE\" >> " << (Dir() / "notified").string() << "\n";
    fs::permissions(Dir() / "notify.sh", fs::perms::owner_all);
    return std::make_unique<Subprocess>(std::vector<std::string>{
        "/usr/bin/env", "NUT_CONFPATH=" + conf.string(), "unshare", "-m", "--propagation",
        "private", "/bin/sh", "-c",
        "mkdir -p /run/nut && mount -t tmpfs none /run/nut && exec /lib/nut/upsmon -F -p "
        ">/dev/null 2>&1"});
  }

  // Polls for a file to exist and contain `text`; the clients write these files themselves.
  bool FileSays(const fs::path& path, const std::string& text, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (fs::exists(path) && ReadFile(path).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  int port = FreePort();
};

TEST_F(NutClientsTest, UpscUpscmdUpsrwAndPyNutWorkWithRightsAndAreRefusedWithout) {
  Start(PrivateConfig("true"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  auto listed = RunClient("upsc " + Ups(), true);
  EXPECT_EQ(listed.status, 0) << listed.text;
  for (const char* expected : {"ups.status: OL\n", "device.type: ups\n", "ups.delay.shutdown: 42\n",
                               "ups.firmware: v1.0b\n", "driver.name: corvale-ups\n"}) {
    EXPECT_NE(listed.text.find(expected), std::string::npos) << expected << listed.text;
  }
  EXPECT_EQ(listed.text.find("battery.charge"), std::string::npos) << "nothing invented";
  EXPECT_EQ(RunClient("upsc -l 127.0.0.1:" + std::to_string(port)).text.find("test-ups\n") !=
                std::string::npos,
            true);

  const auto refused = RunClient("upscmd -u mon -p pw " + Ups() + " shutdown.return");
  EXPECT_NE(refused.status, 0);
  EXPECT_NE(refused.text.find("ACCESS-DENIED"), std::string::npos) << refused.text;
  EXPECT_NE(RunClient("upsrw -s ups.delay.shutdown=7 -u admin -p n0t-th1s " + Ups()).status, 0);
  ASSERT_TRUE(WaitFor("refused a login as 'admin' from 127.0.0.1")) << log;
  EXPECT_EQ(log.find("n0t-th1s"), std::string::npos) << "never the password";
  const auto set = RunClient("upsrw -s ups.delay.shutdown=30 -u admin -p s3cret " + Ups());
  EXPECT_EQ(set.status, 0) << set.text;
  EXPECT_EQ(RunClient("upsc " + Ups() + " ups.delay.shutdown", true).text, "30\n");
  EXPECT_TRUE(line.peer->TurnOffDelays().empty());
  const auto command = RunClient("upscmd -u admin -p s3cret " + Ups() + " shutdown.return");
  EXPECT_EQ(command.status, 0) << command.text;
  EXPECT_EQ(line.peer->TurnOffDelays(), std::vector<std::uint32_t>{30});
  ASSERT_TRUE(WaitFor("kill-power: ordered the UPS off in 30 s for the instant command")) << log;

  // The service holds the port: status asks it over the network instead.
  const auto status = RunClient(std::string(CORVALE_UPS_TOOL) + " status --json --config " +
                                (Dir() / "corvale-ups.toml").string());
  EXPECT_EQ(status.status, 0) << status.text;
  EXPECT_NE(status.text.find("\"state\":1"), std::string::npos) << status.text;
  // By hand, on a port of its own: nothing the service or its clients see changes.
  EXPECT_NE(RunClient(std::string(CORVALE_UPS_TOOL) + " status --port ttyX9 --registry " +
                      line.registry.Root().string() + " --devices " + line.Devices().string())
                .status,
            0);
  EXPECT_EQ(line.registry.Read(corvale::kServiceKey, "Port"), "COM1");
  EXPECT_EQ(RunClient("upsc " + Ups() + " ups.status", true).text, "OL\n");

  const auto python = RunClient(
      "/usr/bin/python3 -c \"import PyNUT; c = PyNUT.PyNUTClient(host='127.0.0.1', port=" +
      std::to_string(port) +
      ", login='admin', password='s3cret'); v = c.GetUPSVars('test-ups'); "
      "print(v[b'ups.status'].decode(), sorted(c.GetUPSList()))\"");
  EXPECT_EQ(python.text, "OL [b'test-ups']\n");
}

TEST_F(NutClientsTest, UpsmonSecondaryShutsDownBeforeThePrimary) {
  const fs::path ownShutdown = Dir() / "service-shut-down";
  Start(PrivateConfig("touch " + ownShutdown.string()));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  auto upsmon = StartUpsmon(15);
  ASSERT_TRUE(WaitFor("logged in to test-ups")) << log;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(FileSays(Dir() / "notified", "ONBATT", 10s));
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("forced shutdown (FSD) set; waiting up to 30 s for 1 other")) << log;
  ASSERT_TRUE(WaitFor("the other machines have logged out", 20s)) << log;
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
  EXPECT_TRUE(FileSays(Dir() / "notified", "FSD", 1s));
  ASSERT_TRUE(fs::exists(Dir() / "upsmon-shut-down"));
  EXPECT_LE(fs::last_write_time(Dir() / "upsmon-shut-down"), fs::last_write_time(ownShutdown))
      << "the secondary goes first";
}

TEST_F(NutClientsTest, UpsmonSecondaryHearsTheFsdOfAPrimaryWhoseUpsIsLost) {
  const fs::path ownShutdown = Dir() / "service-shut-down";
  Start(PrivateConfig("touch " + ownShutdown.string()));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  // Its own dead time alone would not shut it down within this test.
  auto upsmon = StartUpsmon(120);
  ASSERT_TRUE(WaitFor("logged in to test-ups")) << log;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(FileSays(Dir() / "notified", "ONBATT", 10s));
  line.peer->SetFault(UpsPeer::Fault::kSilent);
  ASSERT_TRUE(WaitFor("forced shutdown (FSD) set", 25s)) << log;
  ASSERT_TRUE(WaitFor("the other machines have logged out", 25s)) << log;
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
  ASSERT_TRUE(fs::exists(Dir() / "upsmon-shut-down"));
  EXPECT_LE(fs::last_write_time(Dir() / "upsmon-shut-down"), fs::last_write_time(ownShutdown))
      << "the secondary goes first";
}

TEST_F(NutClientsTest, StaleWhileLostAndHostsyncHasItsLimit) {
  const auto config = PrivateConfig("true");
  std::string text = ReadFile(config);
  text.replace(text.find("hostsync_seconds = 30"), 21, "hostsync_seconds = 2");
  std::ofstream(config) << text;
  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  // A secondary that logs in and never leaves.
  RawClient squatter(port);
  squatter.Send("USERNAME mon\nPASSWORD pw\nLOGIN test-ups\n");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(squatter.Line(), "OK");

  line.peer->SetFault(UpsPeer::Fault::kSilent);
  ASSERT_TRUE(WaitFor("communication-lost", 20s)) << log;
  RawClient client(port);
  client.Send("GET VAR test-ups ups.status\n");
  EXPECT_EQ(client.Line(), "ERR DATA-STALE") << "nothing from a lost UPS passes for current";
  line.peer->SetFault(UpsPeer::Fault::kNone);
  ASSERT_TRUE(WaitFor("communication-restored", 20s)) << log;

  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("forced shutdown (FSD) set; waiting up to 2 s")) << log;
  ASSERT_TRUE(WaitFor("hostsync time is up with 1 still logged in", 5s)) << log;
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
}

TEST_F(NutClientsTest, ARemotePrimarysForcedShutdownIsHonoured) {
  const fs::path ownShutdown = Dir() / "service-shut-down";
  Start(PrivateConfig("touch " + ownShutdown.string()));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  RawClient primary(port);
  primary.Send("USERNAME boss\nPASSWORD b0ss\nLOGIN test-ups\nPRIMARY test-ups\nFSD test-ups\n");
  for (const char* reply : {"OK", "OK", "OK", "OK PRIMARY-GRANTED", "OK FSD-SET"}) {
    EXPECT_EQ(primary.Line(), reply);
  }
  ASSERT_TRUE(WaitFor("shutdown: forced shutdown (FSD) by the primary boss")) << log;
  primary.Send("GET VAR test-ups ups.status\nLOGOUT\n");
  EXPECT_EQ(primary.Line(), "VAR test-ups ups.status \"FSD OL\"");
  EXPECT_EQ(primary.Line(), "OK Goodbye");
  ASSERT_TRUE(WaitFor("the shutdown command ended: exit status 0")) << log;
  EXPECT_TRUE(fs::exists(ownShutdown));
}

TEST_F(NutClientsTest, UpsmonShutsDownWhenTheServiceDiesWhileOnBattery) {
  Start(PrivateConfig("true"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  auto upsmon = StartUpsmon(3);
  ASSERT_TRUE(WaitFor("logged in to test-ups")) << log;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(FileSays(Dir() / "notified", "ONBATT", 10s));
  EXPECT_FALSE(fs::exists(Dir() / "upsmon-shut-down"));
  service->Signal(SIGKILL);
  EXPECT_TRUE(FileSays(Dir() / "upsmon-shut-down", "", 20s))
      << "a UPS on battery that cannot be reached counts as critical";
}

TEST_F(NutClientsTest, BadClientsAreBoundedAndDelayNobody) {
  Start(PrivateConfig("true", 4));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  const std::string ask = "GET VAR test-ups ups.status\n";
  const std::string answer = "VAR test-ups ups.status \"OL\"";
  {
    // Four connections at most: with four served, the fifth is closed at once.
    std::vector<std::unique_ptr<RawClient>> four;
    for (int i = 0; i < 4; ++i) {
      four.push_back(std::make_unique<RawClient>(port));
      four.back()->Send(ask);
      EXPECT_EQ(four.back()->Line(), answer);
    }
    RawClient fifth(port);
    EXPECT_EQ(fifth.Line(), "<closed>");
  }
  // Served again once those have gone (the server notices their closing in its own time).
  const auto connect = [&] {
    for (int attempt = 0; attempt < 50; ++attempt) {
      auto client = std::make_unique<RawClient>(port);
      if (client->Send("NETVER\n") && client->Line() == "1.3") return client;
      std::this_thread::sleep_for(100ms);
    }
    return std::unique_ptr<RawClient>();
  };
  auto client = connect();
  ASSERT_TRUE(client);
  // Over-long and binary lines are answered and skipped; the connection stays usable.
  client->Send(std::string(5000, 'A') + "\n");
  EXPECT_EQ(client->Line(), "ERR TOO-LONG");
  client->Send(std::string("\x01\x02\xff\"unclosed\n", 13));
  EXPECT_EQ(client->Line(), "ERR INVALID-ARGUMENT");
  client->Send("FROB\n" + ask);
  EXPECT_EQ(client->Line(), "ERR UNKNOWN-COMMAND");
  EXPECT_EQ(client->Line(), answer);
  client->Send("USERNAME a\nUSERNAME b\nLOGIN test-ups\n");
  EXPECT_EQ(client->Line(), "OK");
  EXPECT_EQ(client->Line(), "ERR ALREADY-SET-USERNAME");
  EXPECT_EQ(client->Line(), "ERR PASSWORD-REQUIRED");

  // A client that never reads its replies is dropped: its sends start failing long before it
  // has sent its 7 MB of requests. The other client is served meanwhile.
  RawClient deaf(port);
  std::string flood;
  for (int i = 0; i < 2000; ++i) flood += "LIST VAR test-ups\n";
  int sent = 0;
  while (sent < 200 && deaf.Send(flood)) ++sent;
  EXPECT_LT(sent, 200);
  client->Send(ask);
  EXPECT_EQ(client->Line(), answer);
}

TEST_F(NutClientsTest, StartTlsWithACertificateThatUpsmonVerifies) {
  // A certificate for 127.0.0.1, and an NSS database that trusts it, as upsmon reads them.
  const std::string dir = Dir().string();
  ASSERT_EQ(RunClient("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                      "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                      dir + "/key.pem -out " + dir + "/cert.pem && mkdir " + dir +
                      "/nss && certutil -N -d " + dir + "/nss --empty-password && certutil -A -d " +
                      dir + "/nss -n corvale -t CT,C,C -a -i " + dir + "/cert.pem")
                .status,
            0);
  Start(PrivateConfig("true", 64,
                      "certificate = \"" + dir + "/cert.pem\"\nkey = \"" + dir + "/key.pem\"\n"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  auto upsmon = StartUpsmon(15, "CERTPATH " + dir + "/nss\nCERTVERIFY 1\nFORCESSL 1\n");
  ASSERT_TRUE(WaitFor("logged in to test-ups")) << log;
  // The same with Python's TLS, verifying the certificate; a second STARTTLS is refused.
  const auto checked = RunClient(
      "/usr/bin/python3 -c \"import socket, ssl; s = socket.create_connection(('127.0.0.1', " +
      std::to_string(port) +
      ")); s.sendall(b'STARTTLS\\n'); print(s.recv(64)); "
      "t = ssl.create_default_context(cafile='" +
      dir +
      "/cert.pem').wrap_socket(s, "
      "server_hostname='127.0.0.1'); t.sendall(b'STARTTLS\\nGET VAR test-ups ups.status\\n'); "
      "f = t.makefile('rb'); print(f.readline(), f.readline())\"");
  EXPECT_EQ(checked.text,
            "b'OK STARTTLS\\n'\nb'ERR ALREADY-SSL-MODE\\n' b'VAR test-ups ups.status \"OL\"\\n'\n");

  // Lines sent in the clear behind STARTTLS, whole or partial, are dropped, never run as if they
  // had come through TLS.
  const auto injected = RunClient(
      "/usr/bin/python3 -c \"import socket, ssl; s = socket.create_connection(('127.0.0.1', " +
      std::to_string(port) +
      ")); s.sendall(b'STARTTLS\\nUSERNAME admin\\nPASSW'); print(s.recv(64)); "
      "t = ssl.create_default_context(cafile='" +
      dir +
      "/cert.pem').wrap_socket(s, server_hostname='127.0.0.1'); t.sendall(b'NETVER\\n'); "
      "print(t.makefile('rb').readline())\"");
  EXPECT_EQ(injected.text, "b'OK STARTTLS\\n'\nb'1.3\\n'\n");
}

TEST_F(NutClientsTest, AFailedTlsHandshakeIsLoggedWithWhyOnceForEachReason) {
  const std::string dir = Dir().string();
  ASSERT_EQ(RunClient("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                      "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                          dir + "/key.pem -out " + dir + "/cert.pem",
                      true)
                .status,
            0);
  Start(PrivateConfig("true", 64,
                      "certificate = \"" + dir + "/cert.pem\"\nkey = \"" + dir + "/key.pem\"\n"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  // Three clients that answer OK STARTTLS with a line of HTTP instead of a TLS hello.
  for (int i = 0; i < 3; ++i) {
    const auto sent = RunClient(
        "/usr/bin/python3 -c \"import socket; s = socket.create_connection(('127.0.0.1', " +
        std::to_string(port) +
        ")); s.sendall(b'STARTTLS\\n'); print(s.recv(64)); s.sendall(b'GET / "
        "HTTP/1.0\\r\\n\\r\\n'); "
        "print(s.recv(64))\"");
    EXPECT_EQ(sent.text.substr(0, 17), "b'OK STARTTLS\\n'\n") << sent.text;
  }
  ASSERT_TRUE(WaitFor("a TLS handshake with 127.0.0.1 failed: ")) << log;
  WaitFor("\x01", 1s);  // the rest of the log so far
  std::size_t logged = 0;
  for (auto at = log.find("a TLS handshake with"); at != std::string::npos;
       at = log.find("a TLS handshake with", at + 1)) {
    ++logged;
  }
  EXPECT_EQ(logged, 1u) << "once for the same reason: " << log;
}

TEST_F(NutClientsTest, HooksInheritNothingButStandardInputOutputAndError) {
  const fs::path fds = Dir() / "fds";
  auto config = PrivateConfig("true");
  std::string text = ReadFile(config);
  text.insert(text.find("[events]\n") + 9,
              "command = \"if [ $CORVALE_UPS_EVENT = on-battery ]; then ls -l /proc/$$/fd > " +
                  fds.string() + ".new && mv " + fds.string() + ".new " + fds.string() +
                  "; fi\"\n");
  std::ofstream(config) << text;
  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  RawClient client(port);
  client.Send("NETVER\n");
  EXPECT_EQ(client.Line(), "1.3");
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitForFile(fds, "total")) << log;
  const std::string listed = ReadFile(fds);
  EXPECT_EQ(listed.find("socket:"), std::string::npos) << listed;
  EXPECT_EQ(listed.find("/dev/pts"), std::string::npos) << listed;
  EXPECT_EQ(listed.find(" 3 ->"), std::string::npos) << listed;
}

TEST_F(NutClientsTest, SixtyFourIdleSquattersDoNotKeepUpsmonOut) {
  Start(PrivateConfig("true"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  std::vector<std::unique_ptr<RawClient>> squatters;
  for (int i = 0; i < 64; ++i) {
    squatters.push_back(std::make_unique<RawClient>(port));
    squatters.back()->Send("NETVER\n");
    ASSERT_EQ(squatters.back()->Line(), "1.3") << i;
  }
  auto upsmon = StartUpsmon(15);
  ASSERT_TRUE(WaitFor("logged in to test-ups")) << log;
}

TEST_F(NutClientsTest, PasswordsInAFileOthersMayReadAreRefused) {
  const auto path = WriteConfig("true", Network());
  fs::permissions(path, fs::perms::others_read, fs::perm_options::add);
  Start(path);
  ASSERT_TRUE(WaitFor("chmod 640")) << log;
  EXPECT_EQ(service->Wait(5s), 2);
}

}  // namespace
