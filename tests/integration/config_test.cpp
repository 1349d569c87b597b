// What check-config finds before the service needs it: addresses that cannot all listen,
// programs that cannot run, and a shipped file that shows every key at its default.
#include "host/config.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "host/start_checks.h"
#include "simulator/temporary_directory.h"
#include "tests/support/free_port.h"

namespace {

namespace fs = std::filesystem;
using corvale::host::ChangedKeys;
using corvale::host::CheckBeforeStart;
using corvale::host::CommandProblem;
using corvale::host::Config;
using corvale::host::ParseConfig;

// The problems CheckBeforeStart finds with one part of the configuration changed.
std::vector<std::string> Problems(const std::function<void(Config&)>& change) {
  Config config;
  config.upses.front().port = "ttyS0";
  config.events.history.clear();
  change(config);
  return CheckBeforeStart(config, "/nonexistent/corvale-ups.toml").problems;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

TEST(ListenCheckTest, AWildcardMeetsEveryAddressOfItsFamilyAtItsPortAcrossNutAndHttp) {
  struct Case {
    std::vector<std::string> nut, http;
    bool refused;
  };
  // Nothing listens here: the check only reads the texts. Ports no service of this machine uses.
  const std::string port = std::to_string(corvale::testing::FreePort());
  std::string other = port;
  while (other == port) other = std::to_string(corvale::testing::FreePort());
  const Case cases[] = {
      {{"0.0.0.0:" + port, "127.0.0.1:" + port}, {}, true},
      {{"127.0.0.1:" + port}, {"0.0.0.0:" + port}, true},
      {{"[::]:" + port, "[::1]:" + port}, {}, true},
      {{"*:" + port}, {"[::1]:" + port}, true},
      {{"localhost:" + port}, {"0.0.0.0:" + port}, true},
      {{"127.0.0.1:" + port}, {"127.0.0.1:" + port}, true},
      // Different families or ports, or two plain addresses: all of them can listen.
      {{"0.0.0.0:" + port, "[::]:" + port}, {}, false},
      {{"0.0.0.0:" + port}, {"0.0.0.0:" + other}, false},
      {{"127.0.0.1:" + port, "127.0.0.2:" + port}, {"[::1]:" + port}, false},
      {{"[::]:" + port}, {"127.0.0.1:" + port}, false},
  };
  for (const auto& c : cases) {
    const auto problems = Problems([&](Config& config) {
      config.network.listen = c.nut;
      config.http.listen = c.http;
    });
    std::string said;
    for (const auto& problem : problems) {
      if (problem.find("take the same port") != std::string::npos) said += problem + "\n";
    }
    EXPECT_EQ(!said.empty(), c.refused) << Joined(c.nut) << "/ " << Joined(c.http) << said;
    if (c.refused && !c.http.empty()) {
      EXPECT_NE(said.find("HTTP and NUT need ports of their own"), std::string::npos) << said;
    }
  }
}

// Paths the installed units can never serve: the helper's sandbox, the folder its path unit
// watches. "fine" with a warning, as for the service's own sandbox.
TEST(HelperPathsCheckTest, AFlagOrRequestsTheInstalledUnitsCannotServeAreWarnedOf) {
  const auto warnings = [](const std::function<void(Config&)>& change) {
    Config config;
    config.upses.front().port = "ttyS0";
    config.events.history.clear();
    change(config);
    return Joined(CheckBeforeStart(config, "/nonexistent/corvale-ups.toml").warnings);
  };
  EXPECT_EQ(warnings([](Config&) {}).find("shutdown."), std::string::npos) << "the defaults";
  const std::string registry =
      warnings([](Config& config) { config.upses.front().registry = "/nonexistent/registry"; });
  EXPECT_NE(registry.find("there is no folder /nonexistent/registry; the service waits until "
                          "there is one: sudo install -d"),
            std::string::npos)
      << registry;
  EXPECT_EQ(registry.find("the service creates it"), std::string::npos) << registry;
  const std::string flag = warnings(
      [](Config& config) { config.shutdown.flagFile = "/nonexistent/corvale-root/killpower"; });
  EXPECT_NE(flag.find("shutdown.flag_file: the installed root helper may only write in "
                      "/run/corvale-ups-helper, not /nonexistent/corvale-root/killpower"),
            std::string::npos)
      << flag;
  const std::string requests = warnings(
      [](Config& config) { config.shutdown.requests = "/nonexistent/corvale-ups/requests"; });
  EXPECT_NE(requests.find("shutdown.requests: corvale-ups-shutdown.path watches only "
                          "/run/corvale-ups/requests"),
            std::string::npos)
      << requests;
}

// With several cables, a missing port or registry of any UPS is said, with the UPS it is of: a
// second UPS whose adapter is not there is no less likely to fail at the power's failure. Each
// UPS's driver process makes its own registry folder, so only the folder it is made in counts.
TEST(HelperPathsCheckTest, EachUpsOnACableHasItsPortAndRegistryChecked) {
  corvale::TemporaryDirectory folder("corvale-entries-check");
  fs::create_directories(folder.Path() / "devices");
  std::ofstream(folder.Path() / "devices" / "ttyA");
  const auto loaded = ParseConfig(
      "[[ups]]\nname = \"rack-a\"\nport = \"ttyA\"\ndevices = \"" +
      (folder.Path() / "devices").string() + "\"\nregistry = \"" + (folder.Path() / "a").string() +
      "\"\n[[ups]]\nname = \"rack-b\"\nport = \"ttyB\"\ndevices = \"" +
      (folder.Path() / "devices").string() + "\"\nregistry = \"" +
      (folder.Path() / "missing/b").string() + "\"\n[events]\nhistory = \"\"\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  const std::string warnings =
      Joined(CheckBeforeStart(loaded.config, "/nonexistent/corvale-ups.toml").warnings);
  EXPECT_NE(warnings.find("UPS 'rack-b': ups.port: there is no " +
                          (folder.Path() / "devices" / "ttyB").string()),
            std::string::npos)
      << warnings;
  EXPECT_NE(warnings.find("UPS 'rack-b': ups.registry: there is no folder " +
                          (folder.Path() / "missing").string() + ";"),
            std::string::npos)
      << warnings;
  EXPECT_EQ(warnings.find("UPS 'rack-a': ups.port"), std::string::npos) << warnings;
  EXPECT_EQ(warnings.find("there is no folder " + (folder.Path() / "a").string()),
            std::string::npos)
      << "made by its driver process: " << warnings;
}

class CommandCheckTest : public ::testing::Test {
 protected:
  fs::path Program(const std::string& name, fs::perms perms) {
    const fs::path path = folder.Path() / name;
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    fs::permissions(path, perms);
    return path;
  }
  corvale::TemporaryDirectory folder{"corvale-command-check"};
};

TEST_F(CommandCheckTest, AMissingProgramOrOneThatIsNoProgramIsRefusedWithItsLine) {
  const fs::path notes = Program("notes", fs::perms(0644));
  const auto config = ParseConfig(
      "[ups]\nport = \"ttyS0\"\n[shutdown]\n\ncommand = \"/usr/local/sbin/fake-powerof -h\"\n"
      "[events]\nhistory = \"\"\ncommand = \"" +
      notes.string() + "\"\n");
  ASSERT_TRUE(config.problems.empty());
  const auto problems = CheckBeforeStart(config.config, "/nonexistent/x.toml").problems;
  const std::string said = Joined(problems);
  EXPECT_NE(said.find("line 5: shutdown.command: there is no program /usr/local/sbin/fake-powerof"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("line 8: events.command: " + notes.string() + " is not a program"),
            std::string::npos)
      << said;

  EXPECT_NE(CommandProblem("fake-powerof", "").value_or(""), "");
  EXPECT_NE(CommandProblem(folder.Path().string() + " -x", "").value_or("").find("not a file"),
            std::string::npos);
  EXPECT_NE(CommandProblem("bin/true", "").value_or("").find("relative path"), std::string::npos);
}

TEST_F(CommandCheckTest, ProgramsThatRunAndWhatOnlyTheShellCanTellPass) {
  for (const std::string command :
       {"systemctl poweroff", "/bin/sh -c 'exit 0'", "true", "echo done > /tmp/x", "exit 3",
        "LANG=C systemctl poweroff", "\"/opt/My Tools/off\"", "$HOME/off", ""}) {
    EXPECT_EQ(CommandProblem(command, "").value_or("fine"), "fine") << command;
  }
  EXPECT_EQ(CommandProblem(Program("off", fs::perms::owner_all).string(), "").value_or("fine"),
            "fine")
      << "root may run what any execute bit allows";
}

TEST_F(CommandCheckTest, TheUserWhoRunsItMustBeAllowedToExecuteItAndReachIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make files another user may not run";
  const fs::path privateProgram = Program("private", fs::perms::owner_all);
  EXPECT_NE(CommandProblem(privateProgram.string(), "nobody")
                .value_or("")
                .find("may not be run by nobody"),
            std::string::npos);
  EXPECT_NE(
      CommandProblem(Program("plain", fs::perms::owner_read | fs::perms::others_read).string(), "")
          .value_or("")
          .find("is not a program"),
      std::string::npos);

  // Executable by all, but in a folder that user may not enter.
  fs::permissions(folder.Path(), fs::perms(0755));
  const fs::path closed = folder.Path() / "closed";
  fs::create_directory(closed);
  std::ofstream(closed / "hook") << "#!/bin/sh\n";
  fs::permissions(closed / "hook", fs::perms::all);
  fs::permissions(closed, fs::perms::owner_all);
  EXPECT_NE(CommandProblem((closed / "hook").string(), "nobody").value_or("").find("may not enter"),
            std::string::npos);
  fs::permissions(closed, fs::perms::all);
  EXPECT_EQ(CommandProblem((closed / "hook").string(), "nobody").value_or("fine"), "fine");
}

TEST_F(CommandCheckTest, FilesAreCheckedAsTheAccountThatWillReadOrWriteThem) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make files another user may not use";
  using corvale::host::AccessProblem;
  fs::permissions(folder.Path(), fs::perms(0755));
  const fs::path config =
      Program("corvale-ups.toml", fs::perms::owner_read | fs::perms::owner_write);
  const std::string unreadable = AccessProblem(config.string(), "nobody", false).value_or("");
  EXPECT_NE(unreadable.find("nobody may not read " + config.string()), std::string::npos)
      << unreadable;
  EXPECT_NE(unreadable.find("chown root:nobody " + config.string() + " && chmod 640"),
            std::string::npos)
      << unreadable;
  fs::permissions(config, fs::perms(0644));
  EXPECT_EQ(AccessProblem(config.string(), "nobody", false).value_or("fine"), "fine");

  // A history that root made when the service was run by hand, and one it will make.
  const fs::path history = folder.Path() / "history.jsonl";
  std::ofstream(history) << "{}\n";
  const std::string unwritable = AccessProblem(history.string(), "nobody", true).value_or("");
  EXPECT_NE(unwritable.find("nobody may not write " + history.string() + " (owned by root:"),
            std::string::npos)
      << unwritable;
  EXPECT_NE(unwritable.find("chown nobody: " + history.string()), std::string::npos) << unwritable;
  fs::remove(history);
  EXPECT_NE(AccessProblem(history.string(), "nobody", true).value_or("").find("may not create"),
            std::string::npos);
  ASSERT_EQ(chown(folder.Path().c_str(), getpwnam("nobody")->pw_uid, 0), 0);
  EXPECT_EQ(AccessProblem(history.string(), "nobody", true).value_or("fine"), "fine");
  EXPECT_EQ(AccessProblem(history.string(), "", true).value_or("fine"), "fine") << "root";
}

// The shipped file says every key but ups.port shows its default: each key is there, known to
// the reader, and set to exactly what the service uses without it.
TEST(ShippedConfigTest, EveryKeyIsThereAtItsDefault) {
  const fs::path shipped = fs::path(CORVALE_SOURCE_DIR) / "packaging/linux/corvale-ups.toml";
  std::ifstream in(shipped);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto loaded = ParseConfig(text);
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;

  const std::map<std::string, std::set<std::string>> keys = {
      {"ups", {"name", "port", "devices", "registry", "library"}},
      {"shutdown",
       {"command", "on_battery_seconds", "retry_seconds", "down_within_seconds", "turn_off_delay",
        "flag_file", "requests", "results"}},
      {"events", {"command", "history"}},
      {"http", {"listen"}},
      {"network",
       {"listen", "max_clients", "max_clients_per_address", "hostsync_seconds", "certificate",
        "key"}},
  };
  const toml::table root = toml::parse(text);
  for (const auto& [section, names] : keys) {
    for (const auto& name : names) {
      EXPECT_TRUE(root.at_path(section + "." + name)) << section << "." << name << " is missing";
    }
  }

  const Config defaults;
  const Config& read = loaded.config;
  EXPECT_EQ(read.ups().name, defaults.ups().name);
  EXPECT_EQ(read.ups().devices, defaults.ups().devices);
  EXPECT_EQ(read.ups().registry, defaults.ups().registry);
  EXPECT_EQ(read.ups().library, defaults.ups().library);
  EXPECT_EQ(read.shutdown.command, defaults.shutdown.command);
  EXPECT_EQ(read.shutdown.onBatterySeconds, defaults.shutdown.onBatterySeconds);
  EXPECT_EQ(read.shutdown.retrySeconds, defaults.shutdown.retrySeconds);
  EXPECT_EQ(read.shutdown.downWithinSeconds, defaults.shutdown.downWithinSeconds);
  EXPECT_EQ(read.shutdown.turnOffDelay, defaults.shutdown.turnOffDelay);
  EXPECT_EQ(read.shutdown.flagFile, defaults.shutdown.flagFile);
  EXPECT_EQ(read.shutdown.requests, defaults.shutdown.requests);
  EXPECT_EQ(read.shutdown.results, defaults.shutdown.results);
  EXPECT_EQ(read.events.command, defaults.events.command);
  EXPECT_EQ(read.events.history, defaults.events.history);
  EXPECT_EQ(read.http.listen, defaults.http.listen);
  EXPECT_EQ(read.network.listen, defaults.network.listen);
  EXPECT_EQ(read.network.maxClients, defaults.network.maxClients);
  EXPECT_EQ(read.network.maxClientsPerAddress, defaults.network.maxClientsPerAddress);
  EXPECT_EQ(read.network.hostsyncSeconds, defaults.network.hostsyncSeconds);
  EXPECT_EQ(read.network.certificate, defaults.network.certificate);
  EXPECT_EQ(read.network.key, defaults.network.key);
}

}  // namespace

// A reload says what it changed: every key of the shipped file, alone, and never a value.
TEST(ShippedConfigTest, AReloadNamesEachChangedKeyAndNoValue) {
  const fs::path shipped = fs::path(CORVALE_SOURCE_DIR) / "packaging/linux/corvale-ups.toml";
  std::ifstream in(shipped);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  const auto join = [](const std::vector<std::string>& all) {
    std::string text;
    for (const auto& line : all) text += line + "\n";
    return text;
  };
  const Config original = ParseConfig(join(lines)).config;
  std::string section;
  int keys = 0;
  for (std::size_t index = 0; index < lines.size(); ++index) {
    const std::string& line = lines[index];
    if (line.starts_with("[")) section = line.substr(1, line.size() - 2);
    const auto equals = line.find(" = ");
    if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 3);
    std::string other = value[0] == '"' ? "\"/tmp/Secret1\"" : "7";
    if (value[0] == '[') other = "[\"127.0.0.1:7\"]";
    if (key == "port") other = "\"ttyS1\"";
    auto edited = lines;
    edited[index] = key + " = " + other;
    const auto loaded = ParseConfig(join(edited));
    // One of network.certificate and network.key is a problem, but read all the same.
    ASSERT_TRUE(loaded.problems.empty() ||
                loaded.problems.front().message.find("go together") != std::string::npos)
        << key << ": " << loaded.problems.front().message;
    EXPECT_EQ(ChangedKeys(original, loaded.config), std::vector<std::string>{section + "." + key});
    ++keys;
  }
  EXPECT_EQ(keys, 23);
  Config withUser = original;
  withUser.users.push_back({"mon", "Secret1", "secondary", {}, {}});
  EXPECT_EQ(ChangedKeys(original, withUser), std::vector<std::string>{"users"});
}
