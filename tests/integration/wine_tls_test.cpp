// corvale-ups.exe under Wine speaking TLS through Schannel and WinHTTP with Linux peers on
// loopback: the agent following the Linux service over its OpenSSL STARTTLS, the Windows NUT
// server's STARTTLS read by Linux clients, and notices to the HTTPS and mail receivers.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/free_port.h"
#include "tests/support/https_receiver.h"
#include "tests/support/service_fixture.h"
#include "tests/support/wine_host.h"

namespace {

namespace fs = std::filesystem;
using corvale::testing::FreePort;
using corvale::testing::ReadFile;
using corvale::testing::Subprocess;
using corvale::testing::WineHost;
using namespace std::chrono_literals;

const fs::path kBuild = CORVALE_WINDOWS_BUILD_DIR;
const fs::path kSource = CORVALE_SOURCE_DIR;
constexpr std::uint16_t kOnBatt = 0x0001, kLowBatt = 0x0004;

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class WineTlsTest : public corvale::testing::ServiceFixture {
 protected:
  void SetUp() override {
    CORVALE_SKIP_WITHOUT_WINE(kSource, kBuild);
    ASSERT_TRUE(fs::exists(kBuild / "cli/corvale-ups.exe"));
    for (const std::string name : {"good", "other"}) {
      ASSERT_EQ(Sh("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                   "-days 2 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                   Pem(name + "-key") + " -out " + Pem(name) + " 2>/dev/null"),
                0);
    }
  }
  void TearDown() override {
    if (agent) agent->Signal(SIGINT);
    if (agent) agent->Wait(20s);
    wine.UnmapCom1();
  }

  static int Sh(const std::string& command) { return RunToEnd({"/bin/sh", "-c", command}); }
  // The test's files, where Windows programs read them too: in the build's folder, not /tmp,
  // which Wine shows as a folder that everyone may change.
  std::string Pem(const std::string& name) const { return (Scratch() / (name + ".pem")).string(); }
  fs::path Scratch() const { return scratch.Path(); }
  std::string Fingerprint(const std::string& name) const {
    Subprocess print(
        {"/bin/sh", "-c", "openssl x509 -noout -fingerprint -sha256 -in " + Pem(name)});
    const std::string printed = print.ReadLine(10s).value_or("=");
    print.Wait(10s);
    return printed.substr(printed.find('=') + 1);  // "sha256 Fingerprint=AA:BB:..."
  }

  // The Linux primary on the simulator's UPS, its NUT server on `port` with STARTTLS, and a
  // login for the Windows agent.
  void StartPrimary() {
    const auto config = WriteConfig(
        "true", "[network]\nlisten = [\"127.0.0.1:" + std::to_string(port) +
                    "\", \"127.0.0.2:" + std::to_string(port) + "\"]\ncertificate = \"" +
                    Pem("good") + "\"\nkey = \"" + Pem("good-key") +
                    "\"\n[[users]]\nname = \"win\"\npassword = \"pw-win-secret\"\n"
                    "upsmon = \"secondary\"\n");
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
    Start(config);
    ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  }

  // corvale-ups.exe as an agent of the server on `serverPort`, with the TLS keys `tls`.
  void StartAgent(int serverPort, const std::string& tls,
                  const std::string& address = "127.0.0.1") {
    const fs::path config = Scratch() / "agent.toml";
    std::ofstream(config) << "[ups]\nname = \"test-ups\"\nserver = \"" << address << ":"
                          << serverPort << "\"\nuser = \"win\"\npassword = \"pw-win-secret\"\n"
                          << tls << "[shutdown]\ncommand = 'echo done> "
                          << WineHost::WindowsPath(Scratch() / "shut-down") << "'\nflag_file = '"
                          << WineHost::WindowsPath(Scratch() / "killpower")
                          << "'\n[events]\nhistory = '"
                          << WineHost::WindowsPath(Scratch() / "agent-history.jsonl")
                          << "'\n[http]\nlisten = []\n";
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
    agentLog.clear();
    agent =
        std::make_unique<Subprocess>(Exe({"service", "--config", WineHost::WindowsPath(config)}),
                                     /*mergeErrors=*/true);
  }
  void StopAgent() {
    agent->Signal(SIGINT);
    EXPECT_TRUE(AgentSays("stopped", 30s)) << agentLog;
    agent->Wait(20s);
    agent.reset();
  }
  bool AgentSays(const std::string& text, std::chrono::seconds timeout = 60s) {
    return ReadUntil(*agent, agentLog, text, timeout);
  }
  static bool ReadUntil(Subprocess& process, std::string& into, const std::string& text,
                        std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      auto line = process.ReadLine(500ms);
      if (!line) continue;
      into += *line + "\n";
      if (line->find(text) != std::string::npos) return true;
    }
    return false;
  }

  std::vector<std::string> Exe(std::vector<std::string> words) const {
    words.insert(words.begin(), {(kSource / "cmake/wine-run.sh").string(),
                                 (kBuild / "cli/corvale-ups.exe").string()});
    return words;
  }

  // A NUT server that logs every line it hears; with TLS (the certificate `name`) or without.
  int StartListener(const std::string& name) {
    std::vector<std::string> argv = {"/usr/bin/python3", CORVALE_RECEIVERS "/nut_listener.py",
                                     "--log", (Scratch() / "heard").string()};
    if (!name.empty()) argv.insert(argv.end(), {"--cert", Pem(name), "--key", Pem(name + "-key")});
    listener = std::make_unique<Subprocess>(argv);
    const auto said = listener->ReadLine(10s);
    EXPECT_TRUE(said && said->starts_with("port ")) << said.value_or("nothing");
    return said ? std::stoi(said->substr(5)) : 0;
  }

  WineHost wine{kBuild, kSource};
  corvale::TemporaryDirectory scratch{"corvale-wine-tls", kBuild / "tests/scratch"};
  const int port = FreePort();
  std::unique_ptr<Subprocess> agent, listener;
  std::string agentLog;
};

TEST_F(WineTlsTest, TheAgentFollowsALinuxPrimaryThroughSchannelOnlyWithItsCertificate) {
  StartPrimary();
  // Checked against a CA file: it follows, and shuts down when the primary says so.
  StartAgent(port, "ca_file = '" + WineHost::WindowsPath(Pem("good")) + "'\n");
  ASSERT_TRUE(AgentSays("test-ups: online")) << agentLog;
  EXPECT_EQ(agentLog.find("cannot follow"), std::string::npos) << agentLog;
  Subprocess clients(
      {"/bin/sh", "-c", "upsc -c test-ups@127.0.0.1:" + std::to_string(port) + " 2>/dev/null"});
  EXPECT_EQ(clients.ReadLine(20s).value_or("-"), "127.0.0.1") << "logged in on the primary";
  line.peer->SetStatus(kOnBatt | kLowBatt);
  EXPECT_TRUE(AgentSays("shutdown command ended: exit status 0")) << agentLog;
  EXPECT_TRUE(fs::exists(Scratch() / "shut-down"));
  StopAgent();
  line.peer->SetStatus(0);

  // Pinned to its certificate's SHA-256: the same.
  fs::remove(Scratch() / "shut-down");
  StartAgent(port, "fingerprint = \"" + Fingerprint("good") + "\"\n");
  EXPECT_TRUE(AgentSays("test-ups: online")) << agentLog;
  StopAgent();

  // Another certificate than the one it trusts: never followed.
  StartAgent(port, "ca_file = '" + WineHost::WindowsPath(Pem("other")) + "'\n");
  ASSERT_TRUE(AgentSays("cannot follow")) << agentLog;
  EXPECT_NE(agentLog.find("its certificate is not trusted"), std::string::npos) << agentLog;
  EXPECT_EQ(agentLog.find("test-ups: online"), std::string::npos) << agentLog;
  StopAgent();

  // The right certificate, but the server reached at an address it is not made out to.
  StartAgent(port, "ca_file = '" + WineHost::WindowsPath(Pem("good")) + "'\n", "127.0.0.2");
  ASSERT_TRUE(AgentSays("cannot follow")) << agentLog;
  EXPECT_NE(agentLog.find("it is not made out to 127.0.0.2"), std::string::npos) << agentLog;
  EXPECT_EQ(agentLog.find("test-ups: online"), std::string::npos) << agentLog;
  StopAgent();
  WaitFor("\x01", 2s);  // the primary's log so far
  EXPECT_EQ(Count(log, "logged in to test-ups as win"), 2u) << "not the third time: " << log;
}

TEST_F(WineTlsTest, CheckConfigTakesTheTlsKeysAndRefusesABadOneWithItsLineAndNoOther) {
  const fs::path config = Scratch() / "check.toml";
  const auto check = [&](const std::string& tls, std::string* said) {
    std::ofstream(config) << "[ups]\nname = \"test-ups\"\nserver = \"127.0.0.1:" << FreePort()
                          << "\"\nuser = \"win\"\npassword = \"pw\"\n"
                          << tls << "[http]\nlisten = []\n";
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
    Subprocess run(Exe({"check-config", "--config", WineHost::WindowsPath(config)}), true);
    *said = run.ReadAll(60s);
    return run.Wait(10s);
  };
  std::string said;
  EXPECT_EQ(check("ca_file = '" + WineHost::WindowsPath(Pem("good")) + "'\n", &said), 0) << said;
  EXPECT_NE(said.find(": fine"), std::string::npos) << said;
  EXPECT_EQ(check("fingerprint = \"" + Fingerprint("good") + "\"\nrequire_tls = true\n", &said), 0)
      << said;
  EXPECT_EQ(check("fingerprint = \"AB:CD\"\n", &said), 2) << said;
  EXPECT_NE(said.find(":6: ups.fingerprint must be"), std::string::npos) << said;
  EXPECT_EQ(said.find("ups.ca_file"), std::string::npos) << "only the keys set: " << said;
  EXPECT_EQ(said.find("ups.require_tls"), std::string::npos) << said;
  EXPECT_EQ(check("ca_file = 'C:\\nowhere\\ca.pem'\n", &said), 2) << said;
  EXPECT_NE(said.find("ups.ca_file: there is no file C:\\nowhere\\ca.pem"), std::string::npos)
      << said;
  EXPECT_EQ(said.find("ups.fingerprint"), std::string::npos) << said;
}

TEST_F(WineTlsTest, AnUntrustedServerNeverHearsThePassword) {
  // A pinned fingerprint that the server's certificate does not have.
  const int tlsPort = StartListener("good");
  StartAgent(tlsPort, "fingerprint = \"" + Fingerprint("other") + "\"\n");
  ASSERT_TRUE(AgentSays("cannot follow")) << agentLog;
  EXPECT_NE(agentLog.find("does not have the pinned SHA-256 fingerprint"), std::string::npos)
      << agentLog;
  std::this_thread::sleep_for(2s);  // and tries again meanwhile
  StopAgent();
  std::string heard = ReadFile(Scratch() / "heard");
  EXPECT_GE(Count(heard, "STARTTLS\n"), 1u) << heard;
  EXPECT_EQ(heard.find("PASSWORD"), std::string::npos) << heard;
  EXPECT_EQ(heard.find("pw-win-secret"), std::string::npos) << heard;
  EXPECT_EQ(heard.find("USERNAME"), std::string::npos) << heard;

  // require_tls against a server without TLS: STARTTLS, and nothing else.
  fs::remove(Scratch() / "heard");
  listener.reset();
  const int plainPort = StartListener("");
  StartAgent(plainPort, "require_tls = true\n");
  ASSERT_TRUE(AgentSays("cannot follow")) << agentLog;
  EXPECT_NE(agentLog.find("never sent in clear"), std::string::npos) << agentLog;
  StopAgent();
  heard = ReadFile(Scratch() / "heard");
  EXPECT_GE(Count(heard, "STARTTLS\n"), 1u) << heard;
  EXPECT_EQ(Count(heard, "STARTTLS\n") * 9, heard.size()) << "nothing else: " << heard;
}

TEST_F(WineTlsTest, AWindowsServerWhoseCertificateCannotServeNeverServesInClear) {
  // A PFX file and, in the file network.key names, a password that is not its own.
  const fs::path pfx = Scratch() / "server.pfx";
  ASSERT_EQ(Sh("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout " +
               Pem("rsa-key") + " -out " + Pem("rsa") +
               " 2>/dev/null && openssl pkcs12 -export "
               "-passout pass:its-own -in " +
               Pem("rsa") + " -inkey " + Pem("rsa-key") + " -out " + pfx.string()),
            0);
  std::ofstream(Scratch() / "pfx-password") << "another\r\n";
  wine.MapCom1(line.peer->DevicePath());
  const fs::path config = Scratch() / "server.toml";
  std::ofstream(config) << "[ups]\nname = \"winups\"\nport = \"COM1\"\nlibrary = '"
                        << wine.DllPath() << "'\n[shutdown]\ncommand = 'echo done> "
                        << WineHost::WindowsPath(Scratch() / "shut-down") << "'\nflag_file = '"
                        << WineHost::WindowsPath(Scratch() / "killpower")
                        << "'\n[events]\nhistory = '"
                        << WineHost::WindowsPath(Scratch() / "history.jsonl")
                        << "'\n[network]\nlisten = [\"127.0.0.1:" << port << "\"]\ncertificate = '"
                        << WineHost::WindowsPath(pfx) << "'\nkey = '"
                        << WineHost::WindowsPath(Scratch() / "pfx-password")
                        << "'\n[[users]]\nname = \"lin\"\npassword = \"pw-lin\"\nupsmon = "
                           "\"secondary\"\n[http]\nlisten = []\n";
  fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
  Subprocess server(Exe({"service", "--config", WineHost::WindowsPath(config)}), true);
  std::string serverLog;
  ASSERT_TRUE(ReadUntil(server, serverLog, "winups: online", 60s)) << serverLog;
  EXPECT_NE(serverLog.find("not sharing the UPS on the network until STARTTLS can be offered: "
                           "cannot open the certificate " +
                           WineHost::WindowsPath(pfx)),
            std::string::npos)
      << serverLog;
  EXPECT_EQ(serverLog.find("Success"), std::string::npos) << "no error after a success";
  // Nothing in clear meanwhile: the port is not open at all.
  Subprocess upsc(
      {"/bin/sh", "-c",
       "upsc winups@127.0.0.1:" + std::to_string(port) + " ups.status 2>&1; echo exit $?"});
  std::string said;
  while (auto next = upsc.ReadLine(20s)) said += *next + "\n";
  EXPECT_EQ(said.find("\nOL\n"), std::string::npos) << said;
  EXPECT_NE(said.find("exit 1"), std::string::npos) << said;
  // And the UPS is still watched: this machine shuts down on a low battery.
  line.peer->SetStatus(kOnBatt | kLowBatt);
  EXPECT_TRUE(ReadUntil(server, serverLog, "shutdown command ended: exit status 0", 60s))
      << serverLog;
  server.Signal(SIGINT);
  server.Wait(30s);
}

// The Windows server's STARTTLS, read by Linux clients: upsc (which tries STARTTLS without
// checking the certificate), upsmon checking it, and the Linux agent with a CA file and a pin.
// Wine's Schannel (Wine 8) has no server side: AcceptSecurityContext answers
// SEC_E_UNSUPPORTED_FUNCTION. Up to there everything is checked; the rest is reported skipped,
// with that reason, wherever the server says so.
TEST_F(WineTlsTest, TheWindowsServersStartTlsIsReadByLinuxClientsAndItsKeyLeavesWithIt) {
  for (const std::string name : {"rsa", "rsa-other"}) {
    ASSERT_EQ(Sh("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -addext "
                 "subjectAltName=IP:127.0.0.1 -keyout " +
                 Pem(name + "-key") + " -out " + Pem(name) + " 2>/dev/null"),
              0);
  }
  const fs::path pfx = Scratch() / "server.pfx";
  ASSERT_EQ(Sh("openssl pkcs12 -export -passout pass:its-own -in " + Pem("rsa") + " -inkey " +
               Pem("rsa-key") + " -out " + pfx.string()),
            0);
  std::ofstream(Scratch() / "pfx-password") << "its-own\r\n";
  // The keys Wine's key sets hold, the user's and the machine's.
  const auto heldKeys = [&] {
    Subprocess query({"/bin/sh", "-c",
                      "export WINEDEBUG=-all; for hive in HKCU HKLM; do " + wine.Wine() +
                          " reg query \"$hive\\\\Software\\\\Wine\\\\Crypto\\\\RSA\" /s; done "
                          "2>/dev/null"});
    const std::string listed = query.ReadAll(60s);
    query.Wait(10s);
    return Count(listed, "KeyExchangeKeyPair") + Count(listed, "SignatureKeyPair");
  };

  wine.MapCom1(line.peer->DevicePath());
  const fs::path config = Scratch() / "server.toml";
  std::ofstream(config) << "[ups]\nname = \"winups\"\nport = \"COM1\"\nlibrary = '"
                        << wine.DllPath() << "'\n[shutdown]\ncommand = 'echo done> "
                        << WineHost::WindowsPath(Scratch() / "shut-down") << "'\nflag_file = '"
                        << WineHost::WindowsPath(Scratch() / "killpower")
                        << "'\n[events]\nhistory = '"
                        << WineHost::WindowsPath(Scratch() / "history.jsonl")
                        << "'\n[network]\nlisten = [\"127.0.0.1:" << port << "\"]\ncertificate = '"
                        << WineHost::WindowsPath(pfx) << "'\nkey = '"
                        << WineHost::WindowsPath(Scratch() / "pfx-password")
                        << "'\n[[users]]\nname = \"lin\"\npassword = \"pw-lin-secret\"\nupsmon = "
                           "\"secondary\"\n[http]\nlisten = []\n";
  fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
  Subprocess server(Exe({"service", "--config", WineHost::WindowsPath(config)}), true);
  std::string serverLog;
  ASSERT_TRUE(ReadUntil(server, serverLog, "winups: online", 60s)) << serverLog;
  EXPECT_EQ(serverLog.find("not sharing the UPS"), std::string::npos) << serverLog;
  // The PFX's key is in a key set while the server serves with it.
  EXPECT_GE(heldKeys(), 1u);

  // The Linux agent, trusting the certificate through a CA file or a pin.
  const fs::path agentDir = Scratch() / "linux-agent";
  fs::create_directories(agentDir);
  const auto startAgent = [&](const std::string& trust) {
    const fs::path agentConfig = agentDir / "corvale-ups.toml";
    std::ofstream(agentConfig) << "[ups]\nname = \"winups\"\nserver = \"127.0.0.1:" << port
                               << "\"\nuser = \"lin\"\npassword = \"pw-lin-secret\"\n"
                               << trust << "[shutdown]\ncommand = \"touch "
                               << (agentDir / "shut-down").string() << "\"\nflag_file = \""
                               << (agentDir / "killpower").string() << "\"\n[events]\nhistory = \""
                               << (agentDir / "history.jsonl").string()
                               << "\"\n[http]\nlisten = []\n[service]\ncontrol = \""
                               << (agentDir / "control").string() << "\"\n";
    fs::permissions(agentConfig, fs::perms::owner_read | fs::perms::owner_write);
    agentLog.clear();
    agent = std::make_unique<Subprocess>(
        std::vector<std::string>{"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL,
                                 "service", "--config", agentConfig.string()});
  };
  const auto stopAgent = [&] {
    agent->Signal(SIGTERM);
    agent->Wait(20s);
    agent.reset();
  };
  startAgent("ca_file = \"" + Pem("rsa") + "\"\n");
  // It follows, or says why it cannot.
  for (auto deadline = std::chrono::steady_clock::now() + 60s;
       agentLog.find("winups: online") == std::string::npos &&
       agentLog.find("cannot follow") == std::string::npos &&
       std::chrono::steady_clock::now() < deadline;) {
    if (auto said = agent->ReadLine(500ms)) agentLog += *said + "\n";
  }
  const bool served = agentLog.find("winups: online") != std::string::npos;
  ReadUntil(server, serverLog, "a TLS handshake with", served ? 2s : 30s);
  const bool wineCannotServe =
      serverLog.find("AcceptSecurityContext: ") != std::string::npos &&
      serverLog.find("(0x80090302)") != std::string::npos;  // SEC_E_UNSUPPORTED_FUNCTION
  // upsc tries STARTTLS and, once the server has said yes, never falls back to the clear.
  Subprocess upsc(
      {"/bin/sh", "-c",
       "upsc winups@127.0.0.1:" + std::to_string(port) + " ups.status 2>&1; echo exit $?"});
  std::string upscSaid;
  while (auto next = upsc.ReadLine(20s)) upscSaid += *next + "\n";
  upsc.Wait(10s);

  if (!served) {
    // As far as this Wine goes: the handshake fails on the server's side, the server says why
    // (once), and nothing goes in the clear after STARTTLS was agreed.
    EXPECT_TRUE(wineCannotServe) << "a failure other than Wine's missing server side: " << serverLog
                                 << agentLog;
    ReadUntil(server, serverLog, "\x01", 3s);  // the rest of its log: upsc and the agent again
    EXPECT_EQ(Count(serverLog, "a TLS handshake with 127.0.0.1 failed"), 1u) << serverLog;
    EXPECT_EQ(serverLog.find("logged in"), std::string::npos) << serverLog;
    EXPECT_EQ(upscSaid.find("\nOL\n"), std::string::npos) << upscSaid;
    EXPECT_NE(upscSaid.find("exit 1"), std::string::npos) << upscSaid;
    stopAgent();
  } else {
    EXPECT_NE(upscSaid.find("OL\n"), std::string::npos) << upscSaid;
    EXPECT_NE(upscSaid.find("exit 0"), std::string::npos) << upscSaid;
    // upsmon checking the certificate, as a Linux machine on this UPS would follow it.
    const std::string nss = (Scratch() / "nss").string();
    ASSERT_EQ(Sh("mkdir -p " + nss + " && certutil -N -d " + nss +
                 " --empty-password && certutil -A -d " + nss + " -n corvale -t CT,C,C -a -i " +
                 Pem("rsa")),
              0);
    const fs::path upsmonConf = Scratch() / "nut";
    fs::create_directories(upsmonConf);
    std::ofstream(upsmonConf / "upsmon.conf")
        << "MONITOR winups@127.0.0.1:" << port
        << " 1 lin pw-lin-secret secondary\nMINSUPPLIES 1\nSHUTDOWNCMD \"/bin/touch "
        << (Scratch() / "upsmon-shut-down").string()
        << "\"\nPOLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 15\nFINALDELAY 0\nPOWERDOWNFLAG "
        << (Scratch() / "upsmon-flag").string() << "\nCERTPATH " << nss
        << "\nCERTVERIFY 1\nFORCESSL 1\n";
    fs::permissions(upsmonConf / "upsmon.conf", fs::perms::owner_read | fs::perms::owner_write);
    Subprocess upsmon({"/usr/bin/env", "NUT_CONFPATH=" + upsmonConf.string(), "unshare", "-m",
                       "--propagation", "private", "/bin/sh", "-c",
                       "mkdir -p /run/nut && mount -t tmpfs none /run/nut && exec /lib/nut/upsmon "
                       "-F -p >/dev/null 2>&1"});
    EXPECT_TRUE(ReadUntil(server, serverLog, "logged in to winups as lin", 30s)) << serverLog;
    // The UPS runs down: the Windows server shuts down, and its followers with it.
    line.peer->SetStatus(kOnBatt | kLowBatt);
    EXPECT_TRUE(AgentSays("shutdown command ended: exit status 0")) << agentLog;
    EXPECT_TRUE(ReadUntil(server, serverLog, "shutdown command ended: exit status 0", 60s))
        << serverLog;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!fs::exists(Scratch() / "upsmon-shut-down") &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(fs::exists(Scratch() / "upsmon-shut-down"));
    upsmon.Signal(SIGTERM);
    upsmon.Wait(10s);
    stopAgent();
    line.peer->SetStatus(0);
    // Pinned to the certificate's SHA-256: followed; another certificate: never.
    startAgent("fingerprint = \"" + Fingerprint("rsa") + "\"\n");
    EXPECT_TRUE(AgentSays("winups: online")) << agentLog;
    stopAgent();
    startAgent("ca_file = \"" + Pem("rsa-other") + "\"\n");
    EXPECT_TRUE(AgentSays("cannot follow")) << agentLog;
    EXPECT_EQ(agentLog.find("winups: online"), std::string::npos) << agentLog;
    stopAgent();
  }

  server.Signal(SIGINT);
  EXPECT_TRUE(ReadUntil(server, serverLog, "stopped", 30s)) << serverLog;
  server.Wait(30s);
  // Its key is deleted with it: nothing of it stays in a key set.
  EXPECT_EQ(heldKeys(), 0u);
  if (wineCannotServe) {
    GTEST_SKIP() << "Wine's Schannel has no server side (AcceptSecurityContext gives "
                    "SEC_E_UNSUPPORTED_FUNCTION): login, status, FSD and a refused certificate "
                    "over the Windows server's STARTTLS are for a Windows machine to show";
  }
}

class WineNoticesTest : public WineTlsTest {
 protected:
  void SetUp() override {
    WineTlsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    // WinHTTP trusts the machine's roots: the receiver's certificate becomes one, for this test.
    // Made out to "localhost" as well: Wine's WinHTTP matches no address in subjectAltName.
    ASSERT_EQ(
        Sh("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
           "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
           Pem("good-key") + " -out " + Pem("good") + " 2>/dev/null"),
        0);
    ASSERT_EQ(Sh("openssl x509 -outform der -in " + Pem("good") + " -out " +
                 (Scratch() / "good.der").string()),
              0);
    ASSERT_EQ(corvale::testing::FindLine(
                  wine.Run({"trust-root:" + WineHost::WindowsPath(Scratch() / "good.der")}),
                  "trust-root"),
              "trust-root ok");
    trusted = true;
    wine.MapCom1(line.peer->DevicePath());
  }
  void TearDown() override {
    if (service) service->Signal(SIGINT);
    if (service) service->Wait(30s);
    if (trusted) {
      wine.Run({"distrust-root:" + WineHost::WindowsPath(Scratch() / "good.der")});
    }
    WineTlsTest::TearDown();
  }
  int StartWebhook(const std::string& mode) {
    return StartHttpsReceiver(web, Pem("good"), Pem("good-key"), Pem("other"), Pem("other-key"),
                              (Scratch() / "webhook.jsonl").string(), mode);
  }
  void WebhookMode(const std::string& mode) { SetHttpsReceiverMode(*web, mode); }
  // corvale-ups.exe on COM1 with `notify`.
  fs::path WindowsConfig(const std::string& notify) {
    const fs::path config = Scratch() / "notices.toml";
    std::ofstream(config) << "[ups]\nname = \"winups\"\nport = \"COM1\"\nlibrary = '"
                          << wine.DllPath() << "'\n[shutdown]\ncommand = 'cmd /c exit 0'\n"
                          << "flag_file = '" << WineHost::WindowsPath(Scratch() / "killpower")
                          << "'\n[events]\nhistory = '"
                          << WineHost::WindowsPath(Scratch() / "history.jsonl")
                          << "'\n[network]\nlisten = []\n[http]\nlisten = []\n"
                          << notify;
    return config;
  }
  void StartService(const fs::path& config) {
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
    serviceLog.clear();
    service = std::make_unique<Subprocess>(
        Exe({"service", "--config", WineHost::WindowsPath(config)}), true);
  }
  bool ServiceSays(const std::string& text, std::chrono::seconds timeout = 60s) {
    return ReadUntil(*service, serviceLog, text, timeout);
  }
  std::vector<nlohmann::json> Lines(const fs::path& file) {
    std::vector<nlohmann::json> lines;
    std::ifstream in(file);
    for (std::string text; std::getline(in, text);) lines.push_back(nlohmann::json::parse(text));
    return lines;
  }
  bool WaitForLines(const fs::path& file, std::size_t count, std::chrono::seconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
      if (Lines(file).size() >= count) return true;
      ReadUntil(*service, serviceLog, "\x01", 1s);
    }
    return false;
  }

  bool trusted = false;
  std::unique_ptr<Subprocess> service, web, mail;
  std::string serviceLog;
};

TEST_F(WineNoticesTest, AWebhookThroughWinHttpGetsEachNoticeOnceInOrderTheLateOnesMarked) {
  const int hook = StartWebhook("refuse");
  std::ofstream(Scratch() / "token") << "tok-secret-123\n";
  fs::permissions(Scratch() / "token", fs::perms::owner_read | fs::perms::owner_write);
  const auto config =
      WindowsConfig("[[notify]]\nname = \"hook\"\nkind = \"webhook\"\nurl = \"https://localhost:" +
                    std::to_string(hook) + "/ups\"\ntoken_file = '" +
                    WineHost::WindowsPath(Scratch() / "token") + "'\n");
  StartService(config);
  ASSERT_TRUE(ServiceSays("winups: online")) << serviceLog;
  line.peer->SetStatus(kOnBatt);
  const auto failed = std::chrono::steady_clock::now();
  ASSERT_TRUE(ServiceSays("not delivered: refused or unreachable")) << serviceLog;
  WebhookMode("tls");  // a certificate this machine does not trust
  ASSERT_TRUE(ServiceSays("not delivered: TLS")) << serviceLog;
  line.peer->SetStatus(kOnBatt | kLowBatt);
  WebhookMode("500");
  ASSERT_TRUE(ServiceSays("not delivered: HTTP 500")) << serviceLog;
  line.peer->SetStatus(0);
  ASSERT_TRUE(ServiceSays("winups: online")) << serviceLog;
  std::this_thread::sleep_until(failed + 35s);  // long enough that the first is late
  WebhookMode("ok");
  ASSERT_TRUE(WaitForLines(Scratch() / "webhook.jsonl", 4, 60s)) << serviceLog;
  std::this_thread::sleep_for(3s);  // nothing more comes

  std::map<std::uint64_t, std::string> events;
  std::vector<std::string> ids;
  for (const auto& posted : Lines(Scratch() / "webhook.jsonl")) {
    EXPECT_EQ(posted["headers"]["authorization"], "Bearer tok-secret-123") << posted;
    const auto body = nlohmann::json::parse(posted["body"].get<std::string>());
    events[body["sequence"].get<std::uint64_t>()] = body["event"];
    ids.push_back(body["id"]);
    if (body["event"] == "on-battery") {
      EXPECT_TRUE(body["late"].get<bool>()) << body;
      EXPECT_NE(body["message"].get<std::string>().find(" late: the receiver could not be "),
                std::string::npos)
          << body;
    }
  }
  std::vector<std::string> happened;
  for (const auto& [sequence, event] : events) happened.push_back(event);
  EXPECT_EQ(happened,
            (std::vector<std::string>{"on-battery", "low-battery", "shutdown", "online"}));
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end()) << "each once";
  EXPECT_EQ(serviceLog.find("tok-secret-123"), std::string::npos) << "no secret in the log";
}

TEST_F(WineNoticesTest, MailGoesOverSchannelWithStartTlsAndALogin) {
  const int smtp = FreePort();
  mail = std::make_unique<Subprocess>(std::vector<std::string>{
      "/usr/bin/python3", CORVALE_RECEIVERS "/smtp_receiver.py", "--port", std::to_string(smtp),
      "--cert", Pem("good"), "--key", Pem("good-key"), "--user", "ups", "--password",
      "mail-secret-456", "--log", (Scratch() / "mail.jsonl").string()});
  ASSERT_EQ(mail->ReadLine(15s).value_or(""), "ready");
  StartService(WindowsConfig(
      "[[notify]]\nname = \"mail\"\nkind = \"smtp\"\nurl = \"smtp://127.0.0.1:" +
      std::to_string(smtp) +
      "\"\nuser = \"ups\"\npassword = \"mail-secret-456\"\nfrom = \"ups@example.test\"\nto = "
      "[\"ops@example.test\"]\nca_file = '" +
      WineHost::WindowsPath(Pem("good")) + "'\n"));
  ASSERT_TRUE(ServiceSays("winups: online")) << serviceLog;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitForLines(Scratch() / "mail.jsonl", 1, 60s)) << serviceLog;
  const auto sent = Lines(Scratch() / "mail.jsonl").at(0);
  EXPECT_EQ(sent["to"], nlohmann::json::array({"ops@example.test"})) << sent;
  const std::string content = sent["content"];
  EXPECT_NE(content.find("on-battery"), std::string::npos) << content;
  EXPECT_NE(content.find("winups"), std::string::npos) << content;
  EXPECT_EQ(serviceLog.find("mail-secret-456"), std::string::npos);
  EXPECT_EQ(serviceLog.find("not delivered"), std::string::npos) << serviceLog;
}

}  // namespace
