// The service's own notifications end to end: a power failure on the simulator reaches an HTTPS
// receiver and a mail server (Debian's aiosmtpd, STARTTLS and a login) on loopback, through every
// way a receiver can fail, a restart, a blip, and `notify --test`.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>
#include <tuple>

#include "tests/support/free_port.h"
#include "tests/support/https_receiver.h"
#include "tests/support/service_fixture.h"

namespace {

namespace fs = std::filesystem;
using corvale::testing::FreePort;
using corvale::testing::ReadFile;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;

constexpr std::uint16_t kOnBatt = 0x0001, kLowBatt = 0x0004;

std::vector<nlohmann::json> JsonLines(const fs::path& file) {
  std::vector<nlohmann::json> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

class NotifyServiceTest : public corvale::testing::ServiceFixture {
 protected:
  void SetUp() override {
    for (const std::string name : {"good", "bad"}) {
      ASSERT_EQ(std::system(("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                             "-nodes -days 2 -subj /CN=127.0.0.1 -addext "
                             "subjectAltName=IP:127.0.0.1 -keyout " +
                             Pem(name + "-key") + " -out " + Pem(name) + " 2>/dev/null")
                                .c_str()),
                0);
    }
    std::ofstream(Dir() / "token") << "tok-secret-123\n";
    fs::permissions(Dir() / "token", fs::perms::owner_read | fs::perms::owner_write);
  }
  std::string Pem(const std::string& name) const { return (Dir() / (name + ".pem")).string(); }
  // The HTTPS receiver, in `mode`; its port.
  int StartWebhook(const std::string& mode = "ok") {
    return StartHttpsReceiver(web, Pem("good"), Pem("good-key"), Pem("bad"), Pem("bad-key"),
                              (Dir() / "webhook.jsonl").string(), mode);
  }
  void WebhookMode(const std::string& mode) { SetHttpsReceiverMode(*web, mode); }
  // `plain`: a server that offers no STARTTLS and takes a login in clear.
  int StartMail(bool plain = false) {
    const int port = FreePort();
    std::vector<std::string> argv = {"/usr/bin/python3",
                                     CORVALE_RECEIVERS "/smtp_receiver.py",
                                     "--port",
                                     std::to_string(port),
                                     "--cert",
                                     Pem("good"),
                                     "--key",
                                     Pem("good-key"),
                                     "--user",
                                     "ups",
                                     "--password",
                                     "mail-secret-456",
                                     "--log",
                                     (Dir() / "mail.jsonl").string()};
    if (plain) argv.push_back("--plain");
    mail = std::make_unique<Subprocess>(argv);
    EXPECT_EQ(mail->ReadLine(15s).value_or(""), "ready");
    return port;
  }
  std::string Webhook(int port, const std::string& extra = "") const {
    return "[[notify]]\nname = \"hook\"\nkind = \"webhook\"\nurl = \"https://127.0.0.1:" +
           std::to_string(port) + "/ups\"\ntoken_file = \"" + (Dir() / "token").string() +
           "\"\nca_file = \"" + Pem("good") + "\"\n" + extra;
  }
  std::string Mail(int port, const std::string& password = "mail-secret-456") const {
    return "[[notify]]\nname = \"mail\"\nkind = \"smtp\"\nurl = \"smtp://127.0.0.1:" +
           std::to_string(port) + "\"\nuser = \"ups\"\npassword = \"" + password +
           "\"\nfrom = \"ups@example.test\"\nto = [\"ops@example.test\"]\nca_file = \"" +
           Pem("good") + "\"\n";
  }
  fs::path Configure(const std::string& notify) {
    const auto config = WriteConfig("true", notify);
    fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
    return config;
  }
  bool WaitForLines(const fs::path& file, std::size_t count, std::chrono::seconds within = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream in(file);
      std::size_t lines = 0;
      for (std::string text; std::getline(in, text);) ++lines;
      if (lines >= count) return true;
      WaitFor("\x01", 0s);  // reads the log meanwhile
      std::this_thread::sleep_for(200ms);
    }
    return false;
  }

  std::unique_ptr<Subprocess> web, mail;
};

TEST_F(NotifyServiceTest, APowerFailureReachesTheWebhookAndTheMailWithTheirIdsAndNoSecret) {
  const int hook = StartWebhook();
  const int smtp = StartMail();
  const std::string ntfy =
      "[[notify]]\nname = \"phone\"\nkind = \"ntfy\"\nurl = \"https://127.0.0.1:" +
      std::to_string(hook) + "/topic\"\nca_file = \"" + Pem("good") + "\"\n";
  Start(Configure(Webhook(hook) + Mail(smtp) + ntfy));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitForLines(Dir() / "webhook.jsonl", 2)) << log;
  ASSERT_TRUE(WaitForLines(Dir() / "mail.jsonl", 1)) << log;

  auto requests = JsonLines(Dir() / "webhook.jsonl");
  if (requests[0]["request"].get<std::string>().find("/topic") != std::string::npos) {
    std::swap(requests[0], requests[1]);
  }
  // ntfy: the message as the body, a title, and a priority by the event's weight.
  const auto pushed = requests.at(1);
  EXPECT_EQ(pushed["request"], "POST /topic HTTP/1.1");
  EXPECT_TRUE(
      pushed["headers"]["title"].get<std::string>().starts_with("test-ups: on battery since "));
  EXPECT_EQ(pushed["headers"]["priority"], "high");
  const auto posted = requests.at(0);
  const auto body = nlohmann::json::parse(posted["body"].get<std::string>());
  EXPECT_EQ(body["event"], "on-battery");
  EXPECT_EQ(body["ups"], "test-ups");
  EXPECT_EQ(posted["headers"]["authorization"], "Bearer tok-secret-123");
  EXPECT_EQ(posted["headers"]["idempotency-key"], body["id"]);
  const auto mailed = JsonLines(Dir() / "mail.jsonl").at(0);
  const std::string content = mailed["content"];
  EXPECT_NE(content.find("Subject: test-ups: on battery since "), std::string::npos) << content;
  EXPECT_NE(content.find("@corvale-ups>"), std::string::npos) << content;
  EXPECT_EQ(mailed["to"], nlohmann::json::array({"ops@example.test"}));
  // Each delivery is in the history; no secret anywhere the service writes or says.
  ASSERT_TRUE(WaitForFile(Dir() / "history.jsonl", "\"event\":\"notice-sent\"")) << log;
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(20s), 0);
  while (auto more = service->ReadLine(100ms)) log += *more + "\n";
  for (const char* secret : {"tok-secret-123", "mail-secret-456"}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    EXPECT_EQ(ReadFile(Dir() / "history.jsonl").find(secret), std::string::npos) << secret;
    EXPECT_EQ(ReadFile(Dir() / "outbox.jsonl").find(secret), std::string::npos) << secret;
  }
}

TEST_F(NotifyServiceTest, AReceiverDownThroughTheOutageAndARestartGetsEachNoticeOnceInOrderLate) {
  const int hook = StartWebhook("refuse");
  const auto config = Configure(Webhook(hook));
  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt);
  const auto failed = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor("not delivered: refused or unreachable")) << log;
  WebhookMode("tls");
  ASSERT_TRUE(WaitFor("not delivered: TLS: ")) << log;
  line.peer->SetStatus(kOnBatt | kLowBatt);  // low battery, and this machine shuts down
  WebhookMode("500");
  ASSERT_TRUE(WaitFor("not delivered: HTTP 500: the receiver broke")) << log;
  WebhookMode("hang");
  ASSERT_TRUE(WaitFor("not delivered: timed out", 20s)) << log;
  line.peer->SetStatus(0);  // the power is back
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  // The service stops and starts again with the notices still waiting.
  service->Signal(SIGTERM);
  ASSERT_EQ(service->Wait(20s), 0);
  WebhookMode("500");
  Start(config);
  ASSERT_TRUE(WaitFor("notices from before the restart are still to be sent")) << log;
  std::this_thread::sleep_until(failed + 35s);  // long enough that the first is late
  WebhookMode("ok");
  ASSERT_TRUE(WaitForLines(Dir() / "webhook.jsonl", 4, 30s)) << log;
  std::this_thread::sleep_for(2s);  // nothing more comes

  // The most urgent went first; their numbers say the order they happened in, across the restart.
  std::map<std::uint64_t, std::string> events;
  std::vector<std::string> ids;
  for (const auto& posted : JsonLines(Dir() / "webhook.jsonl")) {
    const auto body = nlohmann::json::parse(posted["body"].get<std::string>());
    events[body["sequence"].get<std::uint64_t>()] = body["event"];
    ids.push_back(body["id"]);
    if (body["event"] == "on-battery") {
      EXPECT_TRUE(body["late"].get<bool>());
      EXPECT_NE(body["message"].get<std::string>().find(" late: the receiver could not be "),
                std::string::npos)
          << body;
    }
  }
  // A start's first "online" is no news: only the end of a power failure is.
  std::vector<std::string> happened;
  for (const auto& [sequence, event] : events) happened.push_back(event);
  EXPECT_EQ(happened,
            (std::vector<std::string>{"on-battery", "low-battery", "shutdown", "online"}));
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end()) << "each once";
}

TEST_F(NotifyServiceTest, AReceiverThatRefusesOneNoticeGetsTheOthersFirstAndThatOneWhenItAsked) {
  const int hook = StartWebhook("refuse:on-battery:429:3");
  // A URL whose path is the key (a chat service's hook): the receiver's reply repeats it.
  std::string entry = Webhook(hook);
  entry.replace(entry.find("/ups\""), 4, "/hooks/k3y-in-the-path-42");
  Start(Configure(entry));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitForLines(Dir() / "webhook.jsonl.refused", 1)) << log;
  line.peer->SetStatus(kOnBatt | kLowBatt);  // low battery, and this machine shuts down
  ASSERT_TRUE(WaitForLines(Dir() / "webhook.jsonl", 2)) << log;
  std::vector<std::string> events;
  for (const auto& posted : JsonLines(Dir() / "webhook.jsonl")) {
    events.push_back(nlohmann::json::parse(posted["body"].get<std::string>())["event"]);
  }
  EXPECT_EQ(events, (std::vector<std::string>{"low-battery", "shutdown"}))
      << "the refused notice held nothing back";
  WebhookMode("ok");
  ASSERT_TRUE(WaitForLines(Dir() / "webhook.jsonl", 3)) << log;
  // Asked again only once the receiver's 3 s were up; numbered as they happened.
  const auto refused = JsonLines(Dir() / "webhook.jsonl.refused");
  for (std::size_t at = 1; at < refused.size(); ++at) {
    EXPECT_GE(refused[at]["at"].get<double>() - refused[at - 1]["at"].get<double>(), 2.9);
  }
  std::map<std::uint64_t, std::string> bySequence;
  for (const auto& posted : JsonLines(Dir() / "webhook.jsonl")) {
    const auto body = nlohmann::json::parse(posted["body"].get<std::string>());
    bySequence[body["sequence"].get<std::uint64_t>()] = body["event"];
  }
  std::vector<std::string> ordered;
  for (const auto& [sequence, event] : bySequence) ordered.push_back(event);
  EXPECT_EQ(ordered, (std::vector<std::string>{"on-battery", "low-battery", "shutdown"})) << log;
  EXPECT_EQ(bySequence.begin()->first, 1u);
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(20s), 0);
  while (auto more = service->ReadLine(100ms)) log += *more + "\n";
  EXPECT_NE(log.find("on-battery notice not delivered: HTTP 429"), std::string::npos) << log;
  EXPECT_EQ(log.find("k3y-in-the-path-42"), std::string::npos) << "a URL's key in the log";
}

TEST_F(NotifyServiceTest, ABlipShorterThanAfterSecondsSendsNothing) {
  const int hook = StartWebhook();
  Start(Configure(Webhook(hook, "after_seconds = 10\n")));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  line.peer->SetStatus(kOnBatt);
  std::this_thread::sleep_for(3s);
  line.peer->SetStatus(0);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  std::this_thread::sleep_for(9s);
  EXPECT_FALSE(fs::exists(Dir() / "webhook.jsonl")) << ReadFile(Dir() / "webhook.jsonl");
}

// Two UPSes on this machine's cables: each one's failure is told, reminded and ended on its own,
// and a restart in the middle of one carries that one over, not the other's that ended.
TEST_F(NotifyServiceTest, EachUpsFailureIsToldAndEndedOnItsOwnAcrossARestart) {
  const int hook = StartWebhook();
  corvale::testing::Line right;
  fs::create_symlink(right.peer->DevicePath(), line.Devices() / "COM2");
  const fs::path config = Dir() / "two.toml";
  std::ofstream out(config);
  for (const auto& [name, port, on] :
       {std::tuple{"left", "COM1", &line}, std::tuple{"right", "COM2", &right}}) {
    out << "[[ups]]\nname = \"" << name << "\"\nport = \"" << port << "\"\ndevices = \""
        << line.Devices().string() << "\"\nregistry = \"" << on->registry.Root().string()
        << "\"\nsupplies = 1\n";
  }
  out << "[shutdown]\ncommand = \"true\"\nmin_supplies = 1\nflag_file = \"" << Flag().string()
      << "\"\n[events]\nhistory = \"" << (Dir() / "history.jsonl").string()
      << "\"\n[http]\nlisten = []\n[network]\nlisten = []\n[service]\ncontrol = \""
      << Control().string() << "\"\n"
      << Webhook(hook);
  out.close();
  fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
  const auto told = [&] {
    std::vector<std::string> notices;
    for (const auto& posted : JsonLines(Dir() / "webhook.jsonl")) {
      const auto body = nlohmann::json::parse(posted["body"].get<std::string>());
      notices.push_back(body["event"].get<std::string>() + " " + body["ups"].get<std::string>() +
                        ": " + body["message"].get<std::string>());
    }
    return notices;
  };
  Start(config);
  ASSERT_TRUE(WaitFor("right: online")) << log;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitForLines(Dir() / "webhook.jsonl", 1)) << log;
  right.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(WaitForLines(Dir() / "webhook.jsonl", 2)) << log;
  line.peer->SetStatus(0);
  ASSERT_TRUE(WaitForLines(Dir() / "webhook.jsonl", 3)) << log;
  // The service restarts while "right" still runs on battery.
  service->Signal(SIGTERM);
  ASSERT_EQ(service->Wait(20s), 0);
  Start(config);
  ASSERT_TRUE(WaitFor("right: on-battery")) << log;
  std::this_thread::sleep_for(2s);  // its failure was told before the restart: nothing new
  right.peer->SetStatus(0);
  ASSERT_TRUE(WaitForLines(Dir() / "webhook.jsonl", 4)) << log;
  std::this_thread::sleep_for(2s);
  const auto notices = told();
  ASSERT_EQ(notices.size(), 4u) << log;
  EXPECT_TRUE(notices[0].starts_with("on-battery left: ")) << notices[0];
  EXPECT_TRUE(notices[1].starts_with("on-battery right: ")) << notices[1];
  EXPECT_TRUE(notices[2].starts_with("online left: ")) << notices[2];
  EXPECT_TRUE(notices[2].ends_with("; still on battery: right")) << notices[2];
  EXPECT_TRUE(notices[3].starts_with("online right: ")) << notices[3];
  EXPECT_EQ(notices[3].find("still on battery"), std::string::npos) << notices[3];
  service->Signal(SIGTERM);
  EXPECT_EQ(service->Wait(20s), 0);
}

TEST_F(NotifyServiceTest, InsecureMailNeverSendsItsPasswordWithoutTls) {
  const int smtp = StartMail(true);
  std::string entries = Mail(smtp) + "insecure = true\n";
  std::string anonymous = Mail(smtp);
  anonymous.replace(anonymous.find("\"mail\""), 6, "\"anonymous\"");
  anonymous.erase(anonymous.find("user = "), anonymous.find("from = ") - anonymous.find("user = "));
  const auto config = Configure(entries + anonymous + "insecure = true\n");
  Subprocess run({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "notify", "--test",
                  "--config", config.string()});
  const std::string said = run.ReadAll(60s);
  EXPECT_EQ(run.Wait(10s), 1) << said;
  EXPECT_NE(said.find("mail: not delivered: "), std::string::npos) << said;
  EXPECT_NE(said.find("anonymous: delivered"), std::string::npos) << "insecure lets it go in clear";
  const std::string seen = ReadFile(Dir() / "mail.jsonl");
  EXPECT_EQ(seen.find("\"auth\""), std::string::npos) << "a login in clear: " << seen;
  EXPECT_EQ(seen.find("mail-secret-456"), std::string::npos) << seen;
  Subprocess check({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "check-config",
                    "--config", config.string()});
  EXPECT_NE(check.ReadAll(30s).find("insecure = true never sends the mail password without TLS"),
            std::string::npos);
}

TEST_F(NotifyServiceTest, NotifyTestSaysWhatBecameOfEachTry) {
  const int hook = StartWebhook();
  const int smtp = StartMail();
  const int nobody = FreePort();
  std::string entries = Webhook(hook) + Mail(smtp);
  entries += "[[notify]]\nname = \"refused\"\nkind = \"ntfy\"\nurl = \"https://127.0.0.1:" +
             std::to_string(nobody) + "/ups\"\n";
  entries += "[[notify]]\nname = \"untrusted\"\nkind = \"webhook\"\nurl = \"https://127.0.0.1:" +
             std::to_string(hook) + "/ups\"\nca_file = \"" + Pem("bad") + "\"\n";
  std::string wrongLogin = Mail(smtp, "wrong");
  wrongLogin.replace(wrongLogin.find("\"mail\""), 6, "\"wrong-login\"");
  const auto config = Configure(entries + wrongLogin);
  Subprocess run({"/bin/sh", "-c", "exec \"$@\" 2>&1", "-", CORVALE_UPS_TOOL, "notify", "--test",
                  "--config", config.string()});
  const std::string said = run.ReadAll(60s);
  EXPECT_EQ(run.Wait(10s), 1) << said;
  EXPECT_NE(said.find("hook: delivered\n"), std::string::npos) << said;
  EXPECT_NE(said.find("mail: delivered\n"), std::string::npos) << said;
  EXPECT_NE(said.find("refused: not delivered: refused or unreachable"), std::string::npos) << said;
  EXPECT_NE(said.find("untrusted: not delivered: TLS: "), std::string::npos) << said;
  EXPECT_NE(said.find("wrong-login: not delivered: the server: "), std::string::npos) << said;
  EXPECT_EQ(said.find("mail-secret-456"), std::string::npos);
  const auto posted = JsonLines(Dir() / "webhook.jsonl");
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(posted[0]["body"].get<std::string>())["event"], "test");
  EXPECT_EQ(Tool({"notify", "--test", "hook", "--config", config.string()}), 0);
}

}  // namespace
