// One service watching two UPSes, served as NUT clients and those who look expect: each UPS under
// its own name on one NUT server (real upsc and upsmon included), a forced shutdown that reaches
// only the machines on its UPS, and the metrics, JSON and page showing both.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "host/host.h"
#include "host/http/http_server.h"
#include "host/http/reports.h"
#include "host/nut/nut_backend.h"
#include "host/nut/nut_server.h"
#include "host/status_board.h"
#include "simulator/temporary_directory.h"
#include "tests/support/raw_client.h"
#include "tests/support/settable_source.h"
#include "tests/support/subprocess.h"

namespace {

// Set on a thread of the test's: every thread it starts fails to start, as on a system out of
// threads (or memory) while it shuts down.
thread_local bool noThreadToBeHad = false;

}  // namespace

// Stands in for the system's call, which it hands every thread but those refused above.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto system = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  if (noThreadToBeHad) return EAGAIN;
  return system(thread, attributes, start, argument);
}

namespace {

using corvale::testing::RawClient;
using corvale::testing::SettableSource;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace host = corvale::host;
namespace nut = corvale::nut;

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// A client's command line's output; its standard error too with `errors`.
std::string RunClient(const std::string& command, bool errors = false) {
  Subprocess run({"/bin/sh", "-c", command + (errors ? " 2>&1" : " 2>/dev/null")});
  std::string text = run.ReadAll(20s);
  run.Wait(10s);
  return text;
}

// A primary with two UPSes, "left" (on utility) and "right" (on battery), each feeding one of the
// machine's supplies; it runs on one. Its NUT server and HTTP endpoint on free loopback ports.
class TwoUpsesTest : public ::testing::Test {
 protected:
  TwoUpsesTest() : log_(false, sink_) {}
  ~TwoUpsesTest() override {
    http_.reset();
    server_.reset();  // its sessions log out of the backend
    host_.reset();
    backend_.reset();
    std::fclose(sink_);
  }

  void SetUp() override {
    nut::BackendOptions sharing;
    sharing.upsName = "left";
    sharing.users = {{"boss", "b0ss", nut::User::Upsmon::kPrimary, false, false, {}},
                     {"mon", "pw", nut::User::Upsmon::kSecondary, false, false, {}},
                     {"vm", "pw", nut::User::Upsmon::kSecondary, false, false, {}},
                     {"admin", "s3cret", nut::User::Upsmon::kNone, true, false, {"ALL"}}};
    sharing.shutdownDelay = 60;
    sharing.hostsync = 1s;
    backend_ = std::make_unique<nut::ServiceBackend>(sharing, log_);
    host::HostOptions options;
    options.logEvents = false;
    options.minSupplies = 1;
    options.systemCall = [this](const std::string&, std::string*, std::string*) {
      ++systemCalls_;
      return true;
    };
    options.beforeShutdown = [this](std::function<void()> proceed) {
      backend_->CoordinateShutdown(std::move(proceed));
    };
    std::vector<host::Host::UnitSpec> units;
    for (const char* name : {"left", "right"}) {
      host::UnitOptions unit;
      unit.name = name;
      unit.turnOffDelay = 90;
      units.push_back({unit, [this](host::UpsSource::Listener listener) {
                         auto made = std::make_unique<SettableSource>(std::move(listener));
                         made->Set(sources_.empty() ? 1 : 2);
                         sources_.push_back(made.get());
                         return made;
                       }});
    }
    host_ = std::make_unique<host::Host>(std::move(units), options, log_);
    backend_->Attach(*host_);
    board_ = std::make_unique<host::StatusBoard>(std::vector<std::string>{"left", "right"});
    host_->OnPoll([this](const host::Unit& unit, const host::Observation& observation) {
      board_->OnPoll(unit.Index(), observation);
    });
    host_->OnEvent([this](const host::UpsEvent& event) {
      board_->OnEvent(event, std::chrono::system_clock::now());
    });
    board_->SetSharing([this] {
      return host::SharingFacts{0, backend_->LoggedInAddresses(), backend_->ForcedShutdownSet(),
                                backend_->UpsesForced()};
    });
    server_ = std::make_unique<nut::Server>(
        *backend_, nut::ServerOptions{.listen = {"127.0.0.1:0"}, .certificate = "", .key = ""},
        log_);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    host_->Start();
    ASSERT_TRUE(
        Eventually([this] { return sources_[0]->Polls() > 2 && sources_[1]->Polls() > 2; }));
  }

  int NutPort() const { return server_->Ports().at(0); }
  std::string At() const { return "@127.0.0.1:" + std::to_string(NutPort()); }
  // A client logged in to `ups` as `user`.
  std::unique_ptr<RawClient> LoggedIn(const std::string& user, const std::string& ups) {
    auto client = std::make_unique<RawClient>(NutPort());
    client->Send("USERNAME " + user + "\nPASSWORD pw\nLOGIN " + ups + "\n");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(client->Line(), "OK") << user << " on " << ups;
    return client;
  }
  static std::string Ask(RawClient& client, const std::string& request) {
    client.Send(request + "\n");
    return client.Line();
  }
  int HttpPort() {
    if (!http_) {
      http_ = std::make_unique<host::http::HttpServer>(
          *board_,
          host::http::HttpOptions{.listen = {"127.0.0.1:0"}, .historyFile = "", .version = "test"},
          log_);
      std::string error;
      EXPECT_TRUE(http_->Start(&error)) << error;
      EXPECT_TRUE(Eventually([this] { return !http_->Ports().empty() && http_->Ports()[0] != 0; }));
    }
    return http_->Ports().at(0);
  }

  std::vector<std::pair<std::string, double>> downs_;  // machines logged out after their FSD
  std::mutex downsMutex_;
  std::FILE* sink_ = std::tmpfile();
  host::Logger log_;
  std::atomic<int> systemCalls_{0};
  std::vector<SettableSource*> sources_;
  std::unique_ptr<nut::ServiceBackend> backend_;
  std::unique_ptr<host::Host> host_;
  std::unique_ptr<host::StatusBoard> board_;
  std::unique_ptr<nut::Server> server_;
  std::unique_ptr<host::http::HttpServer> http_;
};

TEST_F(TwoUpsesTest, EachUpsIsListedAndReadUnderItsOwnNameAndAnUnknownNameIsRefused) {
  RawClient client(NutPort());
  client.Send("LIST UPS\n");
  EXPECT_EQ(client.Line(), "BEGIN LIST UPS");
  EXPECT_EQ(client.Line(), "UPS left \"Corvale Smart UPS (serial)\"");
  EXPECT_EQ(client.Line(), "UPS right \"Corvale Smart UPS (serial)\"");
  EXPECT_EQ(client.Line(), "END LIST UPS");
  EXPECT_EQ(Ask(client, "GET VAR left ups.status"), "VAR left ups.status \"OL\"");
  EXPECT_EQ(Ask(client, "GET VAR right ups.status"), "VAR right ups.status \"OB\"");
  // Each its own turn-off delay: the first the service's, the other its unit's.
  EXPECT_EQ(Ask(client, "GET VAR left ups.delay.shutdown"), "VAR left ups.delay.shutdown \"60\"");
  EXPECT_EQ(Ask(client, "GET VAR right ups.delay.shutdown"), "VAR right ups.delay.shutdown \"90\"");
  client.Send("LIST VAR right\n");
  EXPECT_EQ(client.Line(), "BEGIN LIST VAR right");
  std::string line;
  while ((line = client.Line()).starts_with("VAR right ")) {
  }
  EXPECT_EQ(line, "END LIST VAR right");
  for (const char* request : {"GET VAR nowhere ups.status", "LIST VAR nowhere",
                              "GET NUMLOGINS nowhere", "GET UPSDESC nowhere", "LIST CLIENT Left"}) {
    EXPECT_EQ(Ask(client, request), "ERR UNKNOWN-UPS") << request;
  }
  client.Send(
      "USERNAME admin\nPASSWORD s3cret\nSET VAR right ups.delay.shutdown 30\n"
      "SET VAR nowhere ups.delay.shutdown 30\nINSTCMD nowhere shutdown.return\n"
      "INSTCMD right shutdown.return\n");
  EXPECT_EQ(client.Line(), "OK");
  EXPECT_EQ(client.Line(), "OK");
  EXPECT_EQ(client.Line(), "OK");
  EXPECT_EQ(client.Line(), "ERR UNKNOWN-UPS");
  EXPECT_EQ(client.Line(), "ERR UNKNOWN-UPS");
  EXPECT_EQ(client.Line(), "OK");
  EXPECT_EQ(Ask(client, "GET VAR left ups.delay.shutdown"), "VAR left ups.delay.shutdown \"60\"");
  // The command ordered off the UPS it named, with that UPS's delay, and no other.
  EXPECT_EQ(sources_[1]->TurnedOff(), 30u);
  EXPECT_FALSE(sources_[0]->TurnedOff());

  RawClient wrongUps(NutPort());
  wrongUps.Send("USERNAME mon\nPASSWORD pw\nLOGIN nowhere\nPRIMARY right\n");
  EXPECT_EQ(wrongUps.Line(), "OK");
  EXPECT_EQ(wrongUps.Line(), "OK");
  EXPECT_EQ(wrongUps.Line(), "ERR UNKNOWN-UPS");
  EXPECT_EQ(wrongUps.Line(), "ERR ACCESS-DENIED");
  EXPECT_EQ(backend_->NumLogins(), 0);
}

// As the system shuts down (Windows tells the service), each UPS ordered off is ordered at once:
// one gone silent holds up none of the others.
TEST_F(TwoUpsesTest, AtTheSystemsShutdownASilentUpsHoldsUpNoOther) {
  sources_[0]->Set(4);
  sources_[1]->Set(4);
  ASSERT_TRUE(Eventually([this] { return systemCalls_ > 0; }));
  ASSERT_EQ(host_->OrderedOff(), (std::vector<std::size_t>{0, 1}));
  sources_[0]->Silence();
  std::thread shuttingDown(
      [this] { EXPECT_TRUE(host_->TurnOffOrdered("as the system shuts down")); });
  EXPECT_TRUE(Eventually([this] { return sources_[1]->TurnedOff().has_value(); }))
      << "the second UPS waited for the first";
  EXPECT_FALSE(sources_[0]->TurnedOff());
  // The first answers again: the order unanswered is asked again, and taken.
  sources_[0]->Release();
  shuttingDown.join();
  EXPECT_EQ(sources_[0]->TurnedOff(), 90u);
  EXPECT_EQ(sources_[1]->TurnedOff(), 90u);
}

// A system that has no thread left to give as it shuts down: each UPS ordered off is still ordered,
// one after the other, and nothing escapes to the system's shutdown notice.
TEST_F(TwoUpsesTest, AtTheSystemsShutdownWithNoThreadToBeHadEachUpsIsStillOrderedOff) {
  sources_[0]->Set(4);
  sources_[1]->Set(4);
  ASSERT_TRUE(Eventually([this] { return systemCalls_ > 0; }));
  ASSERT_EQ(host_->OrderedOff(), (std::vector<std::size_t>{0, 1}));
  bool acknowledged = false;
  noThreadToBeHad = true;
  EXPECT_NO_THROW(acknowledged = host_->TurnOffOrdered("as the system shuts down"));
  noThreadToBeHad = false;
  EXPECT_TRUE(acknowledged);
  EXPECT_EQ(sources_[0]->TurnedOff(), 90u);
  EXPECT_EQ(sources_[1]->TurnedOff(), 90u);
}

// upsmon logs in once per UPS it monitors: each login counts for its UPS, and a primary's FSD for
// one UPS reaches only that UPS's machines, and so does a stage's FSD: on the UPS it follows.
TEST_F(TwoUpsesTest, AForcedShutdownReachesOnlyTheMachinesOnItsUps) {
  // Outlive the test's body: the server's sessions end after it.
  auto& downs = downs_;
  auto& downsMutex = downsMutex_;
  backend_->OnMachineDown([this](const nut::ServiceBackend::MachineGone& gone) {
    std::lock_guard lock(downsMutex_);
    downs_.emplace_back(gone.user, gone.seconds);
  });
  auto monLeft = LoggedIn("mon", "left");
  auto vmLeft = LoggedIn("vm", "left");
  auto vmRight = LoggedIn("vm", "right");
  RawClient reader(NutPort());
  EXPECT_EQ(Ask(reader, "GET NUMLOGINS left"), "NUMLOGINS left 2");
  EXPECT_EQ(Ask(reader, "GET NUMLOGINS right"), "NUMLOGINS right 1");
  reader.Send("LIST CLIENT right\n");
  EXPECT_EQ(reader.Line(), "BEGIN LIST CLIENT right");
  EXPECT_EQ(reader.Line(), "CLIENT right 127.0.0.1");
  EXPECT_EQ(reader.Line(), "END LIST CLIENT right");
  // A machine says its shutdown started of the UPS it logged in to only.
  EXPECT_EQ(Ask(*vmRight, "SHUTTING-DOWN left"), "ERR ACCESS-DENIED");
  EXPECT_EQ(Ask(*vmRight, "SHUTTING-DOWN nowhere"), "ERR UNKNOWN-UPS");

  // A stage of the plan: its user's session on the first UPS goes, the same user's on the other
  // does not.
  backend_->ForceShutdownOf({"vm"});
  EXPECT_EQ(Ask(*vmLeft, "GET VAR left ups.status"), "VAR left ups.status \"FSD OL\"");
  EXPECT_EQ(Ask(*vmRight, "GET VAR right ups.status"), "VAR right ups.status \"OB\"");
  EXPECT_EQ(Ask(*monLeft, "GET VAR left ups.status"), "VAR left ups.status \"OL\"");
  EXPECT_EQ(backend_->LoggedInUsers().at("vm").size(), 1u) << "the plan sees its UPS's logins";
  EXPECT_EQ(backend_->LoggedInUsers(1).count("mon"), 0u);
  // A stage of the other UPS: the user's session there alone, released alone.
  backend_->ForceShutdownOf(1, {"vm"});
  EXPECT_EQ(Ask(*vmRight, "GET VAR right ups.status"), "VAR right ups.status \"FSD OB\"");
  EXPECT_EQ(backend_->StageSessionsLeft(1, {"vm"}), 1u);
  EXPECT_EQ(backend_->StageSessionsLeft(0, {"vm"}), 1u);
  backend_->ReleaseStages(1);
  EXPECT_EQ(Ask(*vmRight, "GET VAR right ups.status"), "VAR right ups.status \"OB\"");
  EXPECT_EQ(Ask(*vmLeft, "GET VAR left ups.status"), "VAR left ups.status \"FSD OL\"")
      << "the first UPS's stage holds";
  {
    // Back on right once its stage was released: no FSD inherited there.
    auto again = LoggedIn("vm", "right");
    EXPECT_EQ(Ask(*again, "GET VAR right ups.status"), "VAR right ups.status \"OB\"");
  }

  RawClient boss(NutPort());
  boss.Send(
      "USERNAME boss\nPASSWORD b0ss\nPRIMARY nowhere\nFSD nowhere\nPRIMARY right\n"
      "FSD right\n");
  EXPECT_EQ(boss.Line(), "OK");
  EXPECT_EQ(boss.Line(), "OK");
  EXPECT_EQ(boss.Line(), "ERR UNKNOWN-UPS");
  EXPECT_EQ(boss.Line(), "ERR UNKNOWN-UPS");
  EXPECT_EQ(boss.Line(), "OK PRIMARY-GRANTED");
  EXPECT_EQ(boss.Line(), "OK FSD-SET");
  EXPECT_EQ(Ask(*vmRight, "GET VAR right ups.status"), "VAR right ups.status \"FSD OB\"");
  EXPECT_EQ(Ask(*monLeft, "GET VAR left ups.status"), "VAR left ups.status \"OL\"");
  EXPECT_EQ(Ask(*monLeft, "GET VAR right ups.status"), "VAR right ups.status \"FSD OB\"");
  EXPECT_EQ(backend_->UpsesForced(), std::vector<std::string>{"right"});
  // The left UPS still feeds the machine's one supply: no shutdown.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(systemCalls_, 0);
  EXPECT_EQ(host_->ShutdownStage(), host::ShutdownSequence::Stage::kIdle);

  // The machine on the right logs out: its time from its UPS's FSD.
  vmRight.reset();
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard lock(downsMutex);
    return !downs.empty();
  }));
  {
    std::lock_guard lock(downsMutex);
    EXPECT_EQ(downs[0].first, "vm");
    EXPECT_LT(downs[0].second, 5.0);
  }

  // The left runs low too: the machine shuts down, and every UPS's machines hear FSD first.
  sources_[0]->Set(4);
  ASSERT_TRUE(Eventually([&] {
    return Ask(*monLeft, "GET VAR left ups.status") == "VAR left ups.status \"FSD OB LB\"";
  }));
  EXPECT_EQ(backend_->UpsesForced(), (std::vector<std::string>{"left", "right"}));
}

// Every per-UPS series once per UPS under its name, the machine's own once; Prometheus's linter
// takes it; the JSON lists both and keeps the first at the top.
TEST_F(TwoUpsesTest, MetricsAndJsonShowEachUps) {
  ASSERT_TRUE(Eventually([&] { return board_->Snapshot().upses[1].state == 2; }));
  RawClient boss(NutPort());
  boss.Send("USERNAME boss\nPASSWORD b0ss\nFSD right\n");
  EXPECT_EQ(boss.Line(), "OK");
  EXPECT_EQ(boss.Line(), "OK");
  EXPECT_EQ(boss.Line(), "OK FSD-SET");
  const auto snapshot = board_->Snapshot();
  const std::string metrics = host::http::Metrics(snapshot, "test");
  for (const char* sample :
       {"corvale_ups_state{ups=\"left\"} 1\n", "corvale_ups_state{ups=\"right\"} 2\n",
        "corvale_ups_status{ups=\"left\",flag=\"OL\"} 1\n",
        "corvale_ups_status{ups=\"right\",flag=\"OB\"} 1\n",
        "corvale_ups_status{ups=\"left\",flag=\"FSD\"} 0\n",
        "corvale_ups_status{ups=\"right\",flag=\"FSD\"} 1\n",
        "corvale_ups_communication_up{ups=\"right\"} 1\n",
        "corvale_ups_events_total{ups=\"right\",kind=\"on-battery\"} 1\n",
        "corvale_ups_events_total{ups=\"left\",kind=\"on-battery\"} 0\n",
        "corvale_ups_power_failures_total{ups=\"right\"} 1\n",
        "corvale_ups_power_failures_total{ups=\"left\"} 0\n",
        "corvale_ups_polls_total{ups=\"right\",result=\"valid\"} "}) {
    EXPECT_NE(metrics.find(sample), std::string::npos) << sample << "\n" << metrics;
  }
  // The machine's own series: once, under the first UPS's name as with one UPS.
  std::istringstream lines(metrics);
  int shutdownPending = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    EXPECT_TRUE(line.find("{ups=\"left\"") != std::string::npos ||
                line.find("{ups=\"right\"") != std::string::npos)
        << line;
    shutdownPending += line.starts_with("corvale_ups_shutdown_pending{");
  }
  EXPECT_EQ(shutdownPending, 1);
  const corvale::TemporaryDirectory dir("corvale-metrics");
  std::ofstream(dir.Path() / "metrics.txt") << metrics;
  Subprocess promtool(
      {"/bin/sh", "-c",
       "promtool check metrics < '" + (dir.Path() / "metrics.txt").string() + "' 2>&1"});
  const std::string linted = promtool.ReadAll(20s);
  EXPECT_EQ(promtool.Wait(20s), 0) << linted;
  EXPECT_EQ(linted, "");

  const auto json = nlohmann::json::parse(host::http::StatusJson(snapshot, "test"));
  EXPECT_EQ(json["ups"], "left");
  EXPECT_EQ(json["state"], 1);
  EXPECT_EQ(json["flags"]["FSD"], false);
  ASSERT_EQ(json["upses"].size(), 2u);
  EXPECT_EQ(json["upses"][0]["name"], "left");
  EXPECT_EQ(json["upses"][1]["name"], "right");
  EXPECT_EQ(json["upses"][1]["state"], 2);
  EXPECT_EQ(json["upses"][1]["flags"]["OB"], true);
  EXPECT_EQ(json["upses"][1]["flags"]["FSD"], true);
  EXPECT_EQ(json["upses"][1]["power_failures"], 1);
  EXPECT_FALSE(json["upses"][1]["on_battery_since"].is_null());
  EXPECT_EQ(json["upses"][0]["power_failures"], 0);
}

// NUT's own clients: upsc lists both with their descriptions and reads each by name.
TEST_F(TwoUpsesTest, UpscListsBothUpsesAndReadsEach) {
  const std::string server = "127.0.0.1:" + std::to_string(NutPort());
  EXPECT_EQ(RunClient("upsc -l " + server), "left\nright\n");
  EXPECT_EQ(RunClient("upsc -L " + server),
            "left: Corvale Smart UPS (serial)\nright: Corvale Smart UPS (serial)\n");
  EXPECT_EQ(RunClient("upsc left" + At() + " ups.status"), "OL\n");
  EXPECT_EQ(RunClient("upsc right" + At() + " ups.status"), "OB\n");
  EXPECT_NE(RunClient("upsc nowhere" + At() + " ups.status", true).find("Unknown UPS"),
            std::string::npos);
}

// upsmon, as root in a mount namespace of its own (its PID file stays private), with these
// MONITOR lines; its shutdown command touches `shutDown`.
std::unique_ptr<Subprocess> StartUpsmon(const fs::path& dir, const std::string& monitors,
                                        const fs::path& shutDown) {
  const fs::path conf = dir / "nut";
  fs::create_directories(conf);
  std::ofstream(conf / "upsmon.conf")
      << monitors << "MINSUPPLIES 1\nSHUTDOWNCMD \"/bin/touch " << shutDown.string() << "\"\n"
      << "POLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 15\nFINALDELAY 0\nPOWERDOWNFLAG "
      << (dir / "upsmon-flag").string() << "\n";
  fs::permissions(conf / "upsmon.conf", fs::perms::owner_read | fs::perms::owner_write);
  return std::make_unique<Subprocess>(std::vector<std::string>{
      "/usr/bin/env", "NUT_CONFPATH=" + conf.string(), "unshare", "-m", "--propagation", "private",
      "/bin/sh", "-c",
      "mkdir -p /run/nut && mount -t tmpfs none /run/nut && exec /lib/nut/upsmon -F -p "
      ">/dev/null 2>&1"});
}

// upsmon following the second UPS by name: it logs in to that one, and shuts its machine down
// when that UPS runs low, while this host, fed by the first, stays up.
TEST_F(TwoUpsesTest, UpsmonFollowsTheSecondUpsByName) {
  if (geteuid() != 0) GTEST_SKIP() << "upsmon runs as root in a mount namespace of its own";
  const corvale::TemporaryDirectory dir("corvale-upsmon");
  const fs::path shutDown = dir.Path() / "upsmon-shut-down";
  const auto upsmon =
      StartUpsmon(dir.Path(), "MONITOR right" + At() + " 1 vm pw secondary\n", shutDown);
  ASSERT_TRUE(Eventually([&] { return backend_->NumLogins(1) == 1; }, 20s));
  EXPECT_EQ(backend_->NumLogins(0), 0);
  std::this_thread::sleep_for(2s);
  EXPECT_FALSE(fs::exists(shutDown)) << "on battery, not low yet";
  sources_[1]->Set(4);
  EXPECT_TRUE(Eventually([&] { return fs::exists(shutDown); }, 20s));
  EXPECT_EQ(systemCalls_, 0) << "the first UPS still feeds this host";
}

// upsmon following both, one supply on each: a login to each, and one UPS low leaves it up; when
// the second runs low too, it goes, and so does this host.
TEST_F(TwoUpsesTest, UpsmonOnBothUpsesGoesOnlyWhenTooFewSuppliesAreLeft) {
  if (geteuid() != 0) GTEST_SKIP() << "upsmon runs as root in a mount namespace of its own";
  const corvale::TemporaryDirectory dir("corvale-upsmon");
  const fs::path shutDown = dir.Path() / "upsmon-shut-down";
  const auto upsmon = StartUpsmon(
      dir.Path(),
      "MONITOR left" + At() + " 1 vm pw secondary\nMONITOR right" + At() + " 1 vm pw secondary\n",
      shutDown);
  ASSERT_TRUE(
      Eventually([&] { return backend_->NumLogins(0) == 1 && backend_->NumLogins(1) == 1; }, 20s));
  sources_[1]->Set(4);
  std::this_thread::sleep_for(4s);
  EXPECT_FALSE(fs::exists(shutDown)) << "the left UPS still feeds its other supply";
  EXPECT_EQ(systemCalls_, 0);
  sources_[0]->Set(4);
  EXPECT_TRUE(Eventually([&] { return fs::exists(shutDown); }, 20s));
  EXPECT_TRUE(Eventually([&] { return systemCalls_ == 1; }, 20s))
      << "this host goes once the machine has logged out, or hostsync has passed";
}

// The page: the banner shows the UPS worst off by name, and a row for each.
TEST_F(TwoUpsesTest, ThePageShowsEachUps) {
  Subprocess browser(
      {"python3", CORVALE_PAGE_WATCHER, "http://127.0.0.1:" + std::to_string(HttpPort()) + "/"});
  std::string seen;
  const auto waitFor = [&](const std::function<bool(const std::string&)>& wanted) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto said = browser.ReadLine(1s);
      if (!said) continue;
      seen += *said + "\n";
      if (wanted(*said)) return *said;
    }
    return std::string();
  };
  ASSERT_NE(waitFor([](const std::string& line) { return line == "state On battery"; }), "")
      << seen;
  EXPECT_NE(waitFor([](const std::string& line) { return line.starts_with("detail "); }), "");
  EXPECT_NE(seen.find("detail right: on battery for "), std::string::npos) << seen;
  browser.WriteLine("text upses");
  const std::string rows =
      waitFor([](const std::string& line) { return line.starts_with("text upses"); });
  EXPECT_NE(rows.find("leftOnline"), std::string::npos) << rows;
  EXPECT_NE(rows.find("rightOn battery, on battery for "), std::string::npos) << rows;
  // The first runs low: it is the one worst off now.
  sources_[0]->Set(4);
  EXPECT_NE(waitFor([](const std::string& line) { return line == "state Battery low"; }), "")
      << seen;
  EXPECT_NE(waitFor([](const std::string& line) { return line.starts_with("detail left: "); }), "")
      << seen;
  browser.CloseInput();
  EXPECT_EQ(browser.Wait(30s), 0);
}

}  // namespace
