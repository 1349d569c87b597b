// CorvaleUPS.dll end to end under Wine: a Windows host program loads the real DLL, the UPS peer
// plays the UPS on a pseudo-terminal that Wine sees as COM1, and Wine's own registry holds "Port"
// and the published values.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "tests/support/line_fixture.h"
#include "tests/support/subprocess.h"
#include "tests/support/wine_host.h"

#ifndef CORVALE_WINDOWS_BUILD_DIR
#error "CORVALE_WINDOWS_BUILD_DIR must name the Windows build"
#endif

namespace {

namespace fs = std::filesystem;
using corvale::UpsPeer;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;

const fs::path kBuild = CORVALE_WINDOWS_BUILD_DIR;
const fs::path kSource = CORVALE_SOURCE_DIR;
using corvale::testing::Words;

std::string Find(const std::vector<std::string>& lines, const std::string& verb, int nth = 0) {
  return corvale::testing::FindLine(lines, verb, nth);
}

int Number(const std::string& line, std::size_t word) {
  return std::stoi(Words(line).at(word));
}

class WineDllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CORVALE_SKIP_WITHOUT_WINE(kSource, kBuild);
    ASSERT_TRUE(fs::exists(kBuild / "CorvaleUPS.dll"))
        << "build the Windows preset first (cmake --build --preset windows)";
    host.MapCom1(peer.DevicePath());
  }
  void TearDown() override { host.UnmapCom1(); }

  std::vector<std::string> RunHost(const std::vector<std::string>& steps,
                                   const std::function<void(const std::string&)>& onSync = {}) {
    int status = -1;
    auto lines = host.Run(steps, onSync, &status);
    EXPECT_EQ(status, 0) << "the host program failed";
    return lines;
  }
  std::vector<std::string> Run(std::vector<std::string> steps,
                               const std::function<void(const std::string&)>& onSync = {}) {
    steps.insert(steps.begin(), {"registry:COM1", "load:" + host.DllPath()});
    return RunHost(steps, onSync);
  }

  corvale::testing::WineHost host{kBuild, kSource};
  UpsPeer peer;
};

TEST_F(WineDllTest, InitOnAnsweringUpsPublishesToTheWindowsRegistry) {
  const auto lines = Run({"spy", "init", "values", "stop", "spied"});
  const auto init = Find(lines, "init");
  EXPECT_EQ(Words(init).at(1), "1") << init;
  EXPECT_GE(Number(init, 2), 1450) << "RTS pulse and settle time";
  EXPECT_EQ(Find(lines, "values"), "values 1|99|v1.0b  [ Normal ]");
  const auto stop = Find(lines, "stop");
  EXPECT_EQ(Words(stop).at(1), "1");
  EXPECT_LT(Number(stop, 2), 500) << "nothing to wait for: no exchange is running";
  // Opened for reading and writing, not shared, existing only; DTR raised, RTS pulsed then dropped.
  // The block carries the standard XON and XOFF characters, which Windows requires to differ, with
  // software flow control off in both directions.
  EXPECT_EQ(Find(lines, "spied", 0),
            "spied CreateFileA \\\\.\\COM1 access=0xC0000000 share=0 disposition=3");
  EXPECT_EQ(Find(lines, "spied", 1),
            "spied SetCommState baud=1200 bits=8 parity=0 stop=0 dtr=1 rts=1 xon=17 xoff=19 outx=0 "
            "inx=0");
  EXPECT_EQ(Find(lines, "spied", 2),
            "spied SetCommState baud=1200 bits=8 parity=0 stop=0 dtr=1 rts=0 xon=17 xoff=19 outx=0 "
            "inx=0");
  EXPECT_EQ(Find(lines, "spied", 3), "spied RegSetValueExA FirmwareRev size=18")
      << "the text's 17 characters and its NUL";
  const auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].bytes, "ZCADLIOPERJD\r");
}

TEST_F(WineDllTest, PortsFromCom10UpAreOpenedThroughTheDeviceNamespace) {
  host.MapPort("COM10", peer.DevicePath());
  const auto lines = RunHost({"registry:COM10", "load:" + host.DllPath(), "init", "state", "stop"});
  EXPECT_EQ(Words(Find(lines, "init")).at(1), "1") << "a plain CreateFileA(\"COM10\") fails";
  EXPECT_EQ(Words(Find(lines, "state")).at(1), "1");
}

TEST_F(WineDllTest, InitResultCodes) {
  // 4: no "Port" value.
  auto lines = RunHost({"registry-noport", "load:" + host.DllPath(), "init"});
  EXPECT_EQ(Words(Find(lines, "init")).at(1), "4");
  // 5: a port that does not exist.
  lines = RunHost({"registry:COM7", "load:" + host.DllPath(), "init"});
  EXPECT_EQ(Words(Find(lines, "init")).at(1), "5");
  // 6: nobody answers; set-up plus one read time-out.
  peer.SetFault(UpsPeer::Fault::kSilent);
  lines = Run({"init", "state", "values"});
  const auto init = Find(lines, "init");
  EXPECT_EQ(Words(init).at(1), "6");
  EXPECT_GE(Number(init, 2), 2400);
  EXPECT_LT(Number(init, 2), 3500);
  EXPECT_EQ(Words(Find(lines, "state")).at(1), "8");
  EXPECT_EQ(Find(lines, "values"), "values -|-|-") << "a UPS that never answers publishes nothing";
}

TEST_F(WineDllTest, StateChangesArePublishedWithTheFramesInOrder) {
  const auto lines = Run({"init", "sync:battery", "state", "values", "sync:low", "state", "values",
                          "sync:fail", "state", "values", "stop"},
                         [&](const std::string& tag) {
                           if (tag == "battery") peer.SetStatus(0x0001);
                           if (tag == "low") peer.SetStatus(0x0005);
                           if (tag == "fail") peer.SetStatus(0x0045);
                         });
  EXPECT_EQ(Words(Find(lines, "state", 0)).at(1), "2");
  EXPECT_EQ(Find(lines, "values", 0), "values 1|99|v1.0b  [ OnBatt Silenced ]");
  EXPECT_EQ(Words(Find(lines, "state", 1)).at(1), "4");
  EXPECT_EQ(Find(lines, "values", 1), "values 1|10|v1.0b  [ OnBatt LowBatt Silenced ]");
  EXPECT_EQ(Words(Find(lines, "state", 2)).at(1), "4");
  EXPECT_EQ(Find(lines, "values", 2), "values 2|1|v1.0b  [ OnBatt LowBatt Silenced BattFail ]");
  const auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 5u) << "init poll; silence and poll; then polls only";
  EXPECT_EQ(frames[1].bytes, "ZELWSABPMBEQ\r");
  for (std::size_t i : {2u, 3u, 4u}) {
    const auto command = corvale::ParseCommandFrame(frames[i].bytes);
    ASSERT_TRUE(command) << frames[i].bytes;
    EXPECT_EQ(command->letter, 'L');
  }
  EXPECT_EQ(peer.InvalidFrames(), 0);
}

TEST_F(WineDllTest, WaitPollsEverySecondForItsInterval) {
  const auto lines = Run({"init", "state", "wait:1:2500", "stop"});
  const auto wait = Find(lines, "wait");
  EXPECT_GE(Number(wait, 1), 2450) << wait;
  EXPECT_LT(Number(wait, 1), 3500) << wait;
  // init poll, silence + poll for "state", then three polls in the wait.
  EXPECT_EQ(peer.Frames().size(), 6u);
}

TEST_F(WineDllTest, WaitEndsAtThePollAfterAChange) {
  const auto lines =
      Run({"init", "state", "wait-start:1:4294967295", "sync:change", "wait-join", "state", "stop"},
          [&](const std::string&) {
            std::this_thread::sleep_for(1200ms);
            peer.SetStatus(0x0001);
          });
  const auto wait = Find(lines, "wait");
  EXPECT_GE(Number(wait, 1), 1150) << wait;
  EXPECT_LT(Number(wait, 1), 2800) << wait;
  EXPECT_EQ(Words(Find(lines, "state", 1)).at(1), "2");
}

TEST_F(WineDllTest, StopEndsAWaitAndClosesThePort) {
  const auto lines =
      Run({"init", "wait-start:1:4294967295", "sleep:600", "stop", "wait-join", "stop", "state"});
  EXPECT_EQ(Words(Find(lines, "stop", 0)).at(1), "1");
  EXPECT_LT(Number(Find(lines, "wait"), 1), 2000) << "the wait ends after its current sleep";
  EXPECT_EQ(Words(Find(lines, "stop", 1)).at(1), "0") << "a second stop has nothing to close";
  const auto state = Find(lines, "state");
  EXPECT_EQ(Words(state).at(1), "8");
  EXPECT_LT(Number(state, 2), 100) << "no port, no read time-out";
}

TEST_F(WineDllTest, TurnOffFrameOnTheWire) {
  const auto lines = Run({"init", "turnoff:120", "turnoff:1000", "stop"});
  EXPECT_EQ(Words(Find(lines, "turnoff", 0)).at(1), "1");
  EXPECT_EQ(Words(Find(lines, "turnoff", 1)).at(1), "0");
  EXPECT_EQ(peer.Frames().back().bytes, "ZBASBCAWLPGE\r");
  EXPECT_EQ(peer.TurnOffDelays(), std::vector<std::uint32_t>{120});
}

TEST_F(WineDllTest, EveryEntryPointAtOnceLeavesEveryFrameWhole) {
  // Four host threads poll, turn off, wait and cancel; half-way the main thread stops the driver.
  const auto lines = Run({"init", "race:3000", "state"});
  EXPECT_EQ(Find(lines, "race"), "race 1") << "the stop closed the port";
  EXPECT_EQ(Words(Find(lines, "state")).at(1), "8");
  const auto frames = peer.Frames();
  EXPECT_GT(frames.size(), 10u);
  EXPECT_EQ(peer.InvalidFrames(), 0) << "no interleaved frame reached the UPS";
}

TEST_F(WineDllTest, VersionResource) {
  const auto lines = RunHost({"version:" + host.DllPath()});
  // Descriptions, then file and product version, file type 2 (DLL), language and code page.
  EXPECT_EQ(
      Find(lines, "version"),
      "version Corvale UPS Minidriver|1.0b|CorvaleUPS|CorvaleUPS.dll|1.0.0.1|1.0.0.1|2|0809|1200");
}

TEST_F(WineDllTest, InstallationFileRegistersTheModelAndThePort) {
  corvale::testing::Subprocess import(
      {(kSource / "cmake/wine-run.sh").string(), "regedit", "/S",
       corvale::testing::WineHost::WindowsPath(kSource / "packaging/windows/CorvaleUPS.reg")});
  ASSERT_EQ(import.Wait(60s), 0);
  const auto lines =
      RunHost({"query:SYSTEM\\CurrentControlSet\\Services\\UPS\\ServiceProviders\\Corvale:Corvale "
               "Smart UPS (serial)",
               "query:SYSTEM\\CurrentControlSet\\Services\\UPS:Port"});
  EXPECT_EQ(Find(lines, "query", 0), "query 0x1;CorvaleUPS.dll");
  EXPECT_EQ(Find(lines, "query", 1), "query COM1");
}

}  // namespace
