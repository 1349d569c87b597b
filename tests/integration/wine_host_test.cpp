// corvale-ups.exe under Wine: the same host core as on Linux, loading CorvaleUPS.dll, with the
// UPS peer as COM1, its NUT server read by the native upsc, and its shutdown command run.
#include "tests/support/wine_host.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "tests/support/free_port.h"
#include "tests/support/line_fixture.h"
#include "tests/support/subprocess.h"

namespace {

namespace fs = std::filesystem;
using corvale::testing::Subprocess;
using corvale::testing::WineHost;
using namespace std::chrono_literals;

const fs::path kBuild = CORVALE_WINDOWS_BUILD_DIR;
const fs::path kSource = CORVALE_SOURCE_DIR;

class WineHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kBuild / "cli/corvale-ups.exe"));
    host.MapCom1(peer.DevicePath());
  }
  void TearDown() override { host.UnmapCom1(); }

  std::vector<std::string> Exe(std::vector<std::string> words) {
    words.insert(words.begin(), {(kSource / "cmake/wine-run.sh").string(),
                                 (kBuild / "cli/corvale-ups.exe").string()});
    return words;
  }
  // The process's output until `text` appears in a line; false when it never does.
  bool WaitFor(Subprocess& process, const std::string& text, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      auto line = process.ReadLine(500ms);
      if (!line) continue;
      output += *line + "\n";
      if (line->find(text) != std::string::npos) return true;
    }
    return false;
  }

  // A configuration whose shutdown command leaves `marker`, sharing the UPS on `port`.
  fs::path WriteConfig() {
    const fs::path config = directory.Path() / "corvale-ups.toml";
    std::ofstream(config) << "[ups]\nname = \"winups\"\nport = \"COM1\"\nlibrary = '"
                          << host.DllPath() << "'\n[shutdown]\ncommand = 'echo done> "
                          << WineHost::WindowsPath(marker) << "'\nflag_file = '"
                          << WineHost::WindowsPath(directory.Path() / "killpower")
                          << "'\n[network]\nlisten = [\"127.0.0.1:" << port << "\"]\n";
    return config;
  }

  WineHost host{kBuild, kSource};
  corvale::UpsPeer peer;
  corvale::TemporaryDirectory directory{"corvale-wine-host"};
  const std::string port = std::to_string(corvale::testing::FreePort());
  const fs::path marker = directory.Path() / "shut-down";
  std::string output;
};

TEST_F(WineHostTest, StatusThroughTheDll) {
  // With a port given, nothing is asked of a service.
  Subprocess status(Exe({"status", "--port", "COM1", "--json", "--library", host.DllPath()}));
  ASSERT_TRUE(WaitFor(status, "\"state\":1", 60s)) << output;
  EXPECT_EQ(status.Wait(30s), 0);
}

TEST_F(WineHostTest, TheProgramCarriesItsVersionAndNoDebugInformation) {
  std::string said;
  for (const auto& line :
       host.Run({"version:" + WineHost::WindowsPath(kBuild / "cli/corvale-ups.exe")})) {
    said += line + "\n";
  }
  // Descriptions, then file and product version, file type 1 (application), language, code page.
  EXPECT_NE(said.find("version Corvale UPS monitor service|1.0.0.1|corvale-ups|corvale-ups.exe|"
                      "1.0.0.1|1.0.0.1|1|0809|1200"),
            std::string::npos)
      << said;
  EXPECT_LT(fs::file_size(kBuild / "cli/corvale-ups.exe"), 3'000'000u) << "stripped";
}

TEST_F(WineHostTest, ServiceSharesTheUpsAndShutsDownOnLowBattery) {
  const fs::path config = WriteConfig();
  Subprocess service(Exe({"service", "--config", WineHost::WindowsPath(config)}),
                     /*mergeErrors=*/true);
  ASSERT_TRUE(WaitFor(service, "winups: online", 60s)) << output;
  Subprocess upsc({"/bin/sh", "-c", "upsc winups@127.0.0.1:" + port + " ups.status 2>/dev/null"});
  EXPECT_EQ(upsc.ReadLine(20s).value_or("-"), "OL");
  peer.SetStatus(0x0005);
  ASSERT_TRUE(WaitFor(service, "shutdown command ended: exit status 0", 30s)) << output;
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_TRUE(fs::exists(directory.Path() / "killpower"));
  service.Signal(SIGINT);  // Wine hands it to the console's Ctrl-C handler
  ASSERT_TRUE(WaitFor(service, "stopped", 30s)) << output;
  EXPECT_EQ(service.Wait(30s), 0);
}

TEST_F(WineHostTest, InstalledAsAWindowsServiceItStartsServesAndStops) {
  const fs::path config = WriteConfig();
  // Wine keeps a service alive only with a persistent server; `wine` runs a Windows command.
  const std::string prefix =
      "export WINEPREFIX=" + (kBuild / "tests/wineprefix").string() + " WINEDEBUG=-all; ";
  const auto shell = [&](const std::string& command) {
    Subprocess run({"/bin/sh", "-c", prefix + command + " 2>&1"});
    std::string text;
    while (auto line = run.ReadLine(60s)) text += *line + "\n";
    run.Wait(10s);
    return text;
  };
  // Its services (the service manager among them) are started here with no pipes of ours: a
  // program started from a test inherits the test's pipes, and they close with it.
  shell("wineserver -k; wineserver -p && wine cmd /c ver </dev/null >/dev/null 2>&1");
  host.MapCom1(peer.DevicePath());  // again: the new server's mount manager reads the port key
  // From the configuration's folder, by its name alone: registered by its full path.
  EXPECT_NE(shell("cd '" + config.parent_path().string() + "' && wine " +
                  (kBuild / "cli/corvale-ups.exe").string() + " install --config " +
                  config.filename().string())
                .find("is registered"),
            std::string::npos);
  const auto registered =
      shell("wine reg query 'HKLM\\System\\CurrentControlSet\\Services\\CorvaleUPS' /v ImagePath");
  EXPECT_NE(registered.find(WineHost::WindowsPath(config)), std::string::npos) << registered;
  shell("wine net start CorvaleUPS");
  // `net start` returns before the service runs: ask the service manager until it does.
  bool running = false;
  for (int attempt = 0; attempt < 60 && !running; ++attempt) {
    running = shell("wine sc query CorvaleUPS").find("RUNNING") != std::string::npos;
    if (!running) std::this_thread::sleep_for(500ms);
  }
  ASSERT_TRUE(running);
  std::string status;
  for (int attempt = 0; attempt < 40 && status != "OL\n"; ++attempt) {
    status = shell("upsc winups@127.0.0.1:" + port + " ups.status 2>/dev/null | tail -n 1");
    if (status != "OL\n") std::this_thread::sleep_for(500ms);
  }
  EXPECT_EQ(status, "OL\n") << "the native upsc reads the service inside Wine";
  // By hand, another port would become the service's too: refused while it runs.
  const auto byHand = shell("wine " + (kBuild / "cli/corvale-ups.exe").string() +
                            " status --port COM2 2>&1; echo $?");
  EXPECT_NE(byHand.find("the service CorvaleUPS runs"), std::string::npos) << byHand;
  EXPECT_NE(byHand.find("\n2\n"), std::string::npos) << byHand;
  peer.SetStatus(0x0005);
  for (int attempt = 0; attempt < 60 && !fs::exists(marker); ++attempt) {
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_TRUE(fs::exists(marker)) << "the configured shutdown command ran";
  shell("wine net stop CorvaleUPS");
  EXPECT_NE(shell("wine sc query CorvaleUPS").find("STOPPED"), std::string::npos);
  EXPECT_NE(shell("wine " + (kBuild / "cli/corvale-ups.exe").string() + " remove").find("removed"),
            std::string::npos);
  EXPECT_EQ(shell("wine sc query CorvaleUPS").find("RUNNING"), std::string::npos);
  shell("wineserver -k");
}

TEST_F(WineHostTest, InstallerAndUninstallerRunSilently) {
  const fs::path installer = kBuild / "corvale-ups-setup-1.0.0.1.exe";
  ASSERT_TRUE(fs::exists(installer)) << "built with makensis by the Windows build";
  const fs::path drive = kBuild / "tests/wineprefix/drive_c";
  const fs::path folder = drive / "Program Files/Corvale UPS";
  const std::string wine = (kSource / "cmake/wine-run.sh").string();
  Subprocess install({wine, installer.string(), "/S"});
  EXPECT_EQ(install.Wait(120s), 0);
  EXPECT_TRUE(fs::exists(folder / "corvale-ups.exe"));
  EXPECT_TRUE(fs::exists(folder / "CorvaleUPS.dll"));
  EXPECT_TRUE(fs::exists(drive / "ProgramData/Corvale/corvale-ups.toml"));
  Subprocess query({wine, "sc", "query", "CorvaleUPS"});
  std::string queried;
  while (auto line = query.ReadLine(60s)) queried += *line + "\n";
  query.Wait(30s);
  EXPECT_NE(queried.find("SERVICE_NAME: CorvaleUPS"), std::string::npos)
      << "the installer registered the service:\n"
      << queried;
  Subprocess uninstall({wine, "C:\\Program Files\\Corvale UPS\\uninstall.exe", "/S"});
  EXPECT_EQ(uninstall.Wait(120s), 0);
  // The uninstaller finishes from a copy of itself: wait for it to have removed the folder.
  for (int attempt = 0; attempt < 60 && fs::exists(folder); ++attempt) {
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_TRUE(fs::exists(drive / "ProgramData/Corvale/corvale-ups.toml")) << "settings stay";
}

}  // namespace
