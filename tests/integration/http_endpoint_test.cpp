// The service's HTTP endpoint end to end on the simulator, read by real clients: curl, Prometheus's
// promtool, and the history the service leaves behind.
#include <gtest/gtest.h>
#include <ifaddrs.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/support/free_port.h"
#include "tests/support/raw_client.h"
#include "tests/support/service_fixture.h"

namespace {

using corvale::testing::FreePort;
using corvale::testing::RawClient;
using corvale::testing::ReadFile;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr std::uint16_t kOnBatt = 0x0001, kLowBatt = 0x0004;

class HttpEndpointTest : public corvale::testing::ServiceFixture {
 protected:
  fs::path History() const { return Dir() / "state/history.jsonl"; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(httpPort) + path;
  }
  fs::path Config(const std::string& network = "[network]\nlisten = []\n") {
    return WriteConfig("true", "[events]\nhistory = \"" + History().string() +
                                   "\"\n[http]\nlisten = [\"127.0.0.1:" + std::to_string(httpPort) +
                                   "\"]\n" + network);
  }
  // What a real client gets: the body, or "" when the request failed.
  static std::string Curl(const std::string& url, const std::string& options = "") {
    Subprocess curl(
        {"/bin/sh", "-c", "curl -sf --max-time 5 -w '\\n' " + options + " '" + url + "'"});
    const std::string body = curl.ReadAll(10s);
    return curl.Wait(10s) == 0 ? body : "";
  }
  nlohmann::json Status() {
    const std::string body = Curl(Url("/api/v1/status"));
    return body.empty() ? nlohmann::json() : nlohmann::json::parse(body);
  }
  // Until the status says `state`; how long that took, or nothing.
  std::optional<std::chrono::milliseconds> WaitForState(int state) {
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 20s) {
      const auto status = Status();
      if (status.is_object() && status["state"] == state) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
      }
      std::this_thread::sleep_for(100ms);
    }
    return std::nullopt;
  }
  void StopService() {
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(20s), 0);
  }

  // Two power failures that ran the battery low: after 20 min in June, after 15 in December.
  static void WriteTwoPowerFailures(const fs::path& file) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file);
    for (
        const char* line :
        {R"({"time":"2026-06-01T12:00:00Z","event":"on-battery","ups":"u","state":2,"message":""})",
         R"({"time":"2026-06-01T12:20:00Z","event":"low-battery","ups":"u","state":4,"message":""})",
         R"({"time":"2026-06-01T12:25:00Z","event":"online","ups":"u","state":1,"message":""})",
         R"({"time":"2026-12-01T12:00:00Z","event":"on-battery","ups":"u","state":2,"message":""})",
         R"({"time":"2026-12-01T12:15:00Z","event":"low-battery","ups":"u","state":4,"message":""})",
         R"({"time":"2026-12-01T12:16:00Z","event":"online","ups":"u","state":1,"message":""})"}) {
      out << line << "\n";
    }
  }

  const int httpPort = FreePort();
};

TEST_F(HttpEndpointTest, APowerFailureReachesMetricsStatusAndTheHistory) {
  const fs::path config = Config();
  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  ASSERT_TRUE(WaitForState(1)) << log;

  line.peer->SetStatus(kOnBatt);
  const auto seen = WaitForState(2);
  ASSERT_TRUE(seen) << log;
  EXPECT_LE(seen->count(), 2000) << "the status follows a power failure within 2 s";
  const std::string metrics = Curl(Url("/metrics"));
  for (const char* sample : {"corvale_ups_state{ups=\"test-ups\"} 2\n",
                             "corvale_ups_status{ups=\"test-ups\",flag=\"OB\"} 1\n",
                             "corvale_ups_status{ups=\"test-ups\",flag=\"OL\"} 0\n",
                             "corvale_ups_power_failures_total{ups=\"test-ups\"} 1\n",
                             "corvale_ups_events_total{ups=\"test-ups\",kind=\"on-battery\"} 1\n",
                             "corvale_ups_communication_up{ups=\"test-ups\"} 1\n",
                             "corvale_ups_build_info{ups=\"test-ups\",version=\""}) {
    EXPECT_NE(metrics.find(sample), std::string::npos) << sample << "\n" << metrics;
  }
  // The manual promises the ups label on every metric.
  std::istringstream samples(metrics);
  for (std::string sample; std::getline(samples, sample);) {
    if (sample.empty() || sample[0] == '#') continue;
    EXPECT_NE(sample.find("{ups=\"test-ups\""), std::string::npos) << sample;
  }
  // Prometheus's own linter: exposition format and naming conventions.
  std::ofstream(Dir() / "metrics.txt") << metrics;
  Subprocess promtool({"/bin/sh", "-c",
                       "promtool check metrics < '" + (Dir() / "metrics.txt").string() + "' 2>&1"});
  const std::string linted = promtool.ReadAll(20s);
  EXPECT_EQ(promtool.Wait(20s), 0) << linted;
  EXPECT_EQ(linted, "") << linted;
  const auto status = Status();
  EXPECT_EQ(status["flags"]["OB"], true);
  EXPECT_FALSE(status["on_battery_since"].is_null());
  EXPECT_EQ(status["recent_events"].back()["event"], "on-battery");

  line.peer->SetStatus(0);
  ASSERT_TRUE(WaitForState(1)) << log;
  StopService();

  // The history outlives the service: read without it, then with it running again.
  Subprocess listed({CORVALE_UPS_TOOL, "history", "--config", config.string()});
  const std::string text = listed.ReadAll(10s);
  EXPECT_EQ(listed.Wait(10s), 0);
  const auto period = text.find("  online  the UPS runs on utility power (on battery for ");
  EXPECT_NE(period, std::string::npos) << text;
  EXPECT_LT(text.find("  service-started  "), text.find("  on-battery  ")) << text;
  EXPECT_NE(text.find("  service-stopped  "), std::string::npos) << text;

  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  ASSERT_TRUE(WaitForState(1)) << log;
  const auto events = nlohmann::json::parse(Curl(Url("/api/v1/events?limit=50")));
  std::size_t starts = 0;
  bool periodListed = false;
  for (const auto& event : events) {
    starts += event["event"] == "service-started";
    periodListed =
        periodListed || (event["event"] == "online" && event.contains("on_battery_seconds"));
  }
  EXPECT_EQ(starts, 2u) << events.dump();
  EXPECT_TRUE(periodListed) << events.dump();
  const auto lastTwo = nlohmann::json::parse(Curl(Url("/api/v1/events?limit=2")));
  EXPECT_EQ(lastTwo.size(), 2u);
  const auto future = nlohmann::json::parse(Curl(Url("/api/v1/events?since=2199-01-01T00:00:00Z")));
  EXPECT_TRUE(future.empty());
}

// The history is the service's account's file: what it holds is shown, never obeyed by root's
// terminal; with two UPSes each line names its own.
TEST_F(HttpEndpointTest, HistoryListingNamesEachUpsAndShowsNoTerminalControls) {
  const auto file = Dir() / "history.jsonl";
  fs::create_directories(file.parent_path());
  std::ofstream(file)
      << R"({"time":"2026-06-01T12:00:00Z","event":"on-battery","ups":"left","state":2,"message":"\u001b]0;owned\u0007on battery"})"
      << "\n"
      << R"({"time":"2026-06-01T12:01:00Z","event":"online","ups":"right\u001b[2J","state":1,"message":"back"})"
      << "\n";
  Subprocess listed({CORVALE_UPS_TOOL, "history", "--file", file.string()});
  const std::string text = listed.ReadAll(10s);
  EXPECT_EQ(listed.Wait(10s), 0);
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
  EXPECT_NE(text.find("  on-battery  left: ?]0;owned?on battery"), std::string::npos) << text;
  EXPECT_NE(text.find("  online  right?[2J: back"), std::string::npos) << text;
}

TEST_F(HttpEndpointTest, HistoryListsTheBatterysTimeToLowBatteryPerPowerFailure) {
  const auto file = Dir() / "history.jsonl";
  WriteTwoPowerFailures(file);
  Subprocess listed({CORVALE_UPS_TOOL, "history", "--battery", "--file", file.string()});
  const std::string text = listed.ReadAll(10s);
  EXPECT_EQ(listed.Wait(10s), 0);
  EXPECT_EQ(text,
            "2026-06-01T12:20:00Z  low battery after 20 min 0 s on battery\n"
            "2026-12-01T12:15:00Z  low battery after 15 min 0 s on battery (-25 % against the "
            "first)\n");
}

TEST_F(HttpEndpointTest, OnlyGetAndHeadOfKnownPathsAndJunkIsRefused) {
  Start(Config());
  ASSERT_TRUE(WaitForState(1)) << log;
  const struct {
    const char* request;
    const char* statusLine;
  } cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK"},
      {"HEAD / HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /nothing HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 404 Not Found"},
      {"POST /api/v1/status HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n",
       "HTTP/1.1 405 Method Not Allowed"},
      {"DELETE /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
      {"GET /api/v1/events?since=yesterday HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 400"},
      {"GET /api/v1/events?limit=0 HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 400"},
      {"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 junk\r\n\r\n", "HTTP/1.1 400"},
      {"GET / HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 400"},
  };
  for (const auto& c : cases) {
    RawClient client(httpPort);
    client.Send(c.request);
    const std::string reply = client.Line();
    EXPECT_EQ(reply.rfind(c.statusLine, 0), 0u) << c.request << " -> " << reply;
  }
  // HEAD has the length of what GET would send, and no body.
  RawClient head(httpPort);
  head.Send("HEAD /api/v1/status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  const std::string headers = head.Rest();
  EXPECT_NE(headers.find("Content-Type: application/json"), std::string::npos);
  EXPECT_EQ(headers.substr(headers.find("\r\n\r\n") + 4), "");
  // Two requests in one write: two replies, in order.
  RawClient pipelined(httpPort);
  pipelined.Send(
      "GET /nothing HTTP/1.1\r\nHost: x\r\n\r\nGET /metrics HTTP/1.1\r\nHost: x\r\nConnection: "
      "close\r\n\r\n");
  const std::string both = pipelined.Rest();
  EXPECT_EQ(both.rfind("HTTP/1.1 404", 0), 0u) << both;
  EXPECT_NE(both.find("HTTP/1.1 200 OK"), std::string::npos) << both;
}

TEST_F(HttpEndpointTest, HostileClientsCostNothingElse) {
  const int nutPort = FreePort();
  Start(Config("[network]\nlisten = [\"127.0.0.1:" + std::to_string(nutPort) + "\"]\n"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  ASSERT_TRUE(WaitForState(1)) << log;
  const auto validPolls = [&] {
    const std::string metrics = Curl(Url("/metrics"));
    const std::string name = "corvale_ups_polls_total{ups=\"test-ups\",result=\"valid\"} ";
    const auto at = metrics.find(name);
    return at == std::string::npos ? -1.0 : std::stod(metrics.substr(at + name.size()));
  };
  const double pollsBefore = validPolls();
  const auto startedAt = std::chrono::steady_clock::now();

  // 500 idle connections, a 1 MB header, and a request that never ends.
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 500; ++i) idle.push_back(std::make_unique<RawClient>(httpPort));
  RawClient huge(httpPort);
  huge.Send("GET / HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n");
  RawClient endless(httpPort);
  endless.Send("GET / HTTP/1.1\r\n");
  std::atomic<bool> stop{false};
  std::thread dribbling([&] {
    while (!stop && endless.Send("X-More: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n")) {
      std::this_thread::sleep_for(5ms);
    }
  });

  // Meanwhile NUT answers at once, and the line shows the change at its cadence.
  for (int i = 0; i < 5; ++i) {
    RawClient nut(nutPort);
    const auto start = std::chrono::steady_clock::now();
    nut.Send("VER\n");
    EXPECT_NE(nut.Line(), "<closed>");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    std::this_thread::sleep_for(500ms);
  }
  line.peer->SetStatus(kOnBatt | kLowBatt);
  EXPECT_TRUE(WaitFor("test-ups: low-battery")) << log;
  stop = true;
  dribbling.join();
  idle.clear();
  const std::string refused = huge.Rest();
  EXPECT_TRUE(refused.empty() || refused.rfind("HTTP/1.1 431", 0) == 0) << refused.substr(0, 80);

  // Once they are gone, HTTP answers again, and the polls went on all along.
  const auto after = WaitForState(4);
  ASSERT_TRUE(after) << log;
  // The low battery shut the host down (its command, `true`, started the shutdown).
  ASSERT_TRUE(WaitFor("shutdown command ended: exit status 0")) << log;
  const auto shutdown = Status()["shutdown"];
  EXPECT_EQ(shutdown["pending"], true) << shutdown.dump();
  EXPECT_EQ(shutdown["waits_for"], "the system to go down: the shutdown has started")
      << shutdown.dump();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - startedAt).count();
  // Polled once a second: a few missed to the timing of this test's reads, none to HTTP.
  EXPECT_GE(validPolls() - pollsBefore, seconds - 3) << seconds << " s";
}

// One address of this machine that is not loopback, or "" when it has none.
std::string OwnNonLoopbackAddress() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return "";
  std::string found;
  for (const ifaddrs* entry = list; entry != nullptr && found.empty(); entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    char text[INET_ADDRSTRLEN];
    const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    if (std::string(text).rfind("127.", 0) != 0) found = text;
  }
  freeifaddrs(list);
  return found;
}

TEST_F(HttpEndpointTest, OneRemoteMachineTakesAtMostEightPlaces) {
  const std::string own = OwnNonLoopbackAddress();
  if (own.empty()) GTEST_SKIP() << "this machine has no address but loopback";
  // Served on that address only: connections to it come from it, as from another machine.
  Start(
      WriteConfig("true", "[http]\nlisten = [\"" + own + ":" + std::to_string(httpPort) + "\"]\n"));
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  std::vector<std::unique_ptr<RawClient>> held;
  for (int i = 0; i < 8; ++i) {
    held.push_back(std::make_unique<RawClient>(httpPort, own));
    held.back()->Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(held.back()->Line(), "HTTP/1.1 200 OK\r") << i;
  }
  RawClient ninth(httpPort, own);
  ninth.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(ninth.Line(), "<closed>");
  held.pop_back();
  // The place comes free when one of them leaves; the server learns of it at its next read.
  bool admitted = false;
  for (int attempt = 0; attempt < 50 && !admitted; ++attempt) {
    RawClient next(httpPort, own);
    next.Send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    admitted = next.Line() == "HTTP/1.1 200 OK\r";
    if (!admitted) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(admitted);
}

TEST_F(HttpEndpointTest, ThePageInABrowserFollowsAPowerFailureAndTheServiceStopping) {
  // Two earlier power failures that ran the battery low: the page draws their trend. A plan
  // whose early machine took 42 s to shut down last time, and is not logged in now.
  WriteTwoPowerFailures(History());
  std::ofstream(History(), std::ios::app)
      << R"({"time":"2026-12-01T12:01:00Z","event":"machine-down","ups":"u","state":0,)"
      << R"("message":"","machine":"192.0.2.7","shutdown_seconds":42.0,"user":"vm"})"
      << "\n";
  const auto config =
      Config("[network]\nlisten = [\"127.0.0.1:" + std::to_string(FreePort()) +
             "\"]\n[[users]]\nname = \"vm\"\npassword = \"pw\"\n"
             "upsmon = \"secondary\"\n[[stage]]\nname = \"test machines\"\nusers = [\"vm\"]\n"
             "after_seconds = 120\n");
  fs::permissions(config, fs::perms::owner_read | fs::perms::owner_write);
  Start(config);
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  ASSERT_TRUE(WaitForState(1)) << log;
  Subprocess browser({"python3", CORVALE_PAGE_WATCHER, Url("/")});
  std::string seen;
  // Until the watcher says `line`.
  const auto waitFor = [&](const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto said = browser.ReadLine(1s);
      if (!said) continue;
      seen += *said + "\n";
      if (*said == text) return true;
    }
    return false;
  };
  const auto waitForState = [&](const std::string& text) { return waitFor("state " + text); };
  ASSERT_TRUE(waitForState("Online")) << seen;
  line.peer->SetStatus(kOnBatt);
  ASSERT_TRUE(waitForState("On battery")) << seen;
  browser.WriteLine("text batterynote");
  std::optional<std::string> note;
  while (!note || !note->starts_with("text batterynote")) {
    note = browser.ReadLine(10s);
    if (!note) break;
    seen += *note + "\n";
  }
  ASSERT_TRUE(note) << seen;
  // The date is the browser's locale's: only the measure and the count are checked.
  EXPECT_TRUE(note->starts_with("text batterynote Last: 15 min 0 s on ")) << *note;
  EXPECT_TRUE(note->ends_with(" (2 power failures measured)")) << *note;
  browser.WriteLine("text stages");
  std::optional<std::string> stages;
  while (!stages || !stages->starts_with("text stages")) {
    stages = browser.ReadLine(10s);
    if (!stages) break;
    seen += *stages + "\n";
  }
  ASSERT_TRUE(stages) << seen;
  EXPECT_NE(stages->find("after 120 s on battery"), std::string::npos) << *stages;
  EXPECT_NE(stages->find("machine 1 (missing), shuts down in 42 s"), std::string::npos) << *stages;
  const fs::path artifacts = CORVALE_ARTIFACTS;
  fs::create_directories(artifacts);
  const fs::path shot = artifacts / "status-page-on-battery.png";
  fs::remove(shot);
  browser.WriteLine("screenshot " + shot.string());
  ASSERT_TRUE(waitFor("saved " + shot.string())) << seen;
  EXPECT_GT(fs::file_size(shot), 1000u);
  StopService();
  EXPECT_TRUE(waitForState("Service unreachable")) << seen;
  browser.CloseInput();
  EXPECT_EQ(browser.Wait(30s), 0);
}

}  // namespace
