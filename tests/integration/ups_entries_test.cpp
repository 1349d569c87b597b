// Several UPSes in one file: [[ups]] entries, their supplies and the machine's minimum, each
// refusal with its line, and what one UPS's file still means.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "host/config.h"

namespace {

using corvale::host::Config;
using corvale::host::ParseConfig;

constexpr char kTwoServers[] =
    "[[ups]]\n"
    "name = \"rack\"\n"
    "server = \"10.0.0.1\"\n"
    "user = \"a\"\n"
    "password = \"s3cret-one\"\n"
    "[[ups]]\n"
    "name = \"rack\"\n"
    "server = \"10.0.0.2:3500\"\n"
    "user = \"a\"\n"
    "password = \"s3cret-two\"\n"
    "deadtime = 5\n"
    "on_battery_seconds = 300\n";

TEST(UpsEntriesTest, TwoServersEachWithItsOwnLoginAndOneSupplyEachNeedingBoth) {
  const auto loaded = ParseConfig(std::string(kTwoServers) +
                                  "[shutdown]\non_battery_seconds = 60\nturn_off_delay = 5\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  const Config& config = loaded.config;
  ASSERT_EQ(config.upses.size(), 2u);
  EXPECT_TRUE(config.Agent());
  EXPECT_EQ(config.upses[0].password, "s3cret-one");
  EXPECT_EQ(config.upses[1].deadtime, 5u);
  EXPECT_EQ(config.upses[0].deadtime, 15u);
  // Both primaries may call their UPS the same: events tell them apart by their server.
  EXPECT_EQ(config.UnitName(config.upses[0]), "rack@10.0.0.1");
  EXPECT_EQ(config.UnitName(config.upses[1]), "rack@10.0.0.2:3500");
  // Each its own time on battery, or [shutdown]'s.
  EXPECT_EQ(config.OnBatterySeconds(config.upses[0]), 60u);
  EXPECT_EQ(config.OnBatterySeconds(config.upses[1]), 300u);
  // One UPS behaves as it always did: the minimum is every supply.
  EXPECT_EQ(config.Supplies(), 2u);
  EXPECT_EQ(config.MinSupplies(), 2u);
  EXPECT_TRUE(config.network.listen.empty()) << "an agent serves no NUT clients";
  // The primary's key is warned of as ignored, as with the [ups] table.
  EXPECT_EQ(config.ignoredByAgent, std::vector<std::string>{"shutdown.turn_off_delay"});
}

TEST(UpsEntriesTest, OneUpsTableKeepsItsMeaning) {
  const auto loaded = ParseConfig("[ups]\nname = \"x y\"\nport = \"COM1\"\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  const Config& config = loaded.config;
  EXPECT_FALSE(config.entries);
  EXPECT_EQ(config.ups().registry, Config().ups().registry) << "no folder of its own";
  EXPECT_EQ(config.MinSupplies(), 1u);
  EXPECT_EQ(config.UnitName(config.ups()), "x y");
  EXPECT_EQ(config.TurnOffDelay(config.ups()), 120u);
  // The new keys are the entries': the table refuses them as it refused every unknown key.
  const auto refused = ParseConfig("[ups]\nport = \"COM1\"\nsupplies = 2\n");
  ASSERT_EQ(refused.problems.size(), 1u);
  EXPECT_EQ(refused.problems[0].line, 3);
  // The refusal says where the key belongs, not that it is unknown.
  EXPECT_EQ(refused.problems[0].message,
            "ups.supplies is a key of [[ups]] entries (one per UPS, for several UPSes), not of "
            "the one [ups] table: with one UPS, leave it out");
  // An empty folder is no folder: the driver would look for its port wherever it ran.
  for (const auto& [text, line, says] :
       {std::tuple{"[ups]\nport = \"ttyS0\"\nregistry = \"\"\n", 3,
                   "ups.registry must name a folder, not \"\""},
        std::tuple{"[[ups]]\nname = \"a\"\nport = \"ttyS0\"\n[[ups]]\nname = \"b\"\n"
                   "port = \"ttyS1\"\ndevices = \"\"\n",
                   7, "ups.devices must name a folder, not \"\""}}) {
    const auto empty = ParseConfig(text);
    ASSERT_FALSE(empty.problems.empty()) << text;
    EXPECT_EQ(empty.problems.front().line, line);
    EXPECT_EQ(empty.problems.front().message, says);
  }
}

TEST(UpsEntriesTest, ACableEntryHasItsOwnRegistryAndDelay) {
  const auto loaded = ParseConfig(
      "[[ups]]\nname = \"left\"\nport = \"COM1\"\nturn_off_delay = 30\n"
      "[shutdown]\nturn_off_delay = 90\nmin_supplies = 1\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  const Config& config = loaded.config;
  EXPECT_EQ(config.ups().registry, Config().ups().registry + "/left");
  EXPECT_EQ(config.TurnOffDelay(config.ups()), 30u);
  EXPECT_EQ(config.MinSupplies(), 1u);
  // Without a name one entry is "corvale", as the table's UPS.
  const auto unnamed = ParseConfig("[[ups]]\nport = \"COM1\"\n");
  ASSERT_TRUE(unnamed.problems.empty()) << unnamed.problems.front().message;
  EXPECT_EQ(unnamed.config.ups().name, "corvale");
}

TEST(UpsEntriesTest, WatchOnlyEverywhereIsAMachineThatNeverShutsDownForThePower) {
  const auto loaded = ParseConfig(
      "[[ups]]\nname = \"a\"\nserver = \"h1\"\nuser = \"u\"\npassword = \"p\"\nsupplies = 0\n"
      "[[ups]]\nname = \"b\"\nserver = \"h2\"\nuser = \"u\"\npassword = \"p\"\nsupplies = 0\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  EXPECT_EQ(loaded.config.Supplies(), 0u);
  EXPECT_EQ(loaded.config.MinSupplies(), 0u);
}

TEST(UpsEntriesTest, EachRefusalNamesItsLineAndNoPassword) {
  const std::string agentA =
      "[[ups]]\nname = \"a\"\nserver = \"h1\"\nuser = \"u\"\npassword = \"pw-1\"\n";
  // A server named with the NUT port it defaults to is the same server: that port as this
  // build has it, never a number of the test's own.
  const std::string defaultPort = [] {
    const std::string listen = Config{}.network.listen.front();
    return listen.substr(listen.rfind(':') + 1);
  }();
  const std::string agentB =
      "[[ups]]\nname = \"b\"\nserver = \"h2\"\nuser = \"u\"\npassword = \"pw-2\"\n";
  const struct {
    const char* name;
    std::string text;
    int line;
    const char* says;
  } cases[] = {
      {"a table and entries", "[ups]\nport = \"COM1\"\n[[ups]]\nport = \"COM2\"\n", 3,
       "one or the other"},
      {"entries and a table", "[[ups]]\nport = \"COM1\"\n[ups]\nport = \"COM2\"\n", 3,
       "one or the other"},
      {"no name with several",
       agentA + "[[ups]]\nserver = \"h2\"\nuser = \"u\"\npassword = \"p\"\n", 6, "needs a name"},
      {"a name NUT cannot write", "[[ups]]\nname = \"two words\"\nport = \"COM1\"\n", 1,
       "no UPS name"},
      {"a name with an at", "[[ups]]\nname = \"a@b\"\nport = \"COM1\"\n", 1, "no UPS name"},
      {"one UPS twice on one server",
       agentA + "[[ups]]\nname = \"a\"\nserver = \"h1:" + defaultPort +
           "\"\nuser = \"u\"\npassword = \"p\"\n",
       6, "named twice (first on line 1)"},
      {"neither port nor server", agentA + "[[ups]]\nname = \"c\"\nsupplies = 1\n", 6,
       "needs port"},
      {"a port and a server",
       "[[ups]]\nport = \"COM1\"\nserver = \"h\"\nuser = \"u\"\npassword = \"p\"\n", 2, "exclude"},
      {"a cable and a server", "[[ups]]\nname = \"c\"\nport = \"COM1\"\n" + agentB, 4,
       "never both"},
      {"a server and a cable", agentA + "[[ups]]\nname = \"c\"\nport = \"COM1\"\n", 6,
       "never both"},
      {"a delay on a followed UPS", agentA + "turn_off_delay = 5\n", 6, "own primary"},
      {"a registry on a followed UPS", agentA + "registry = \"/tmp/r\"\n", 6, "cable"},
      {"supplies out of range", agentA + "supplies = 65\n", 6, "from 0 to 64"},
      {"a minimum above the sum", agentA + agentB + "[shutdown]\nmin_supplies = 3\n", 12,
       "from 1 to 2"},
      {"a minimum of none", agentA + agentB + "[shutdown]\nmin_supplies = 0\n", 12, "from 1 to 2"},
      {"a minimum with only watched UPSes", agentA + "supplies = 0\n[shutdown]\nmin_supplies = 1\n",
       8, "watched only"},
      {"a minimum that is no number", agentA + "[shutdown]\nmin_supplies = \"1\"\n", 7,
       "whole number"},
      {"a minimum above one table's UPS", "[ups]\nport = \"COM1\"\n[shutdown]\nmin_supplies = 2\n",
       4, "from 1 to 1"},
      {"an agent's entry sharing", agentA + "[network]\nhostsync_seconds = 5\n", 6,
       "shares nothing"},
      {"no login on the second", agentA + "[[ups]]\nname = \"b\"\nserver = \"h2\"\n", 8,
       "needs ups.user"},
      {"a CA and a pin",
       agentA + "ca_file = \"/etc/ca.pem\"\nfingerprint = \"sha256:" + std::string(64, 'a') +
           "\"\n",
       3, "exclude each other"},
  };
  for (const auto& c : cases) {
    const auto loaded = ParseConfig(c.text);
    ASSERT_FALSE(loaded.problems.empty()) << c.name;
    EXPECT_EQ(loaded.problems.front().line, c.line)
        << c.name << ": " << loaded.problems.front().message;
    EXPECT_NE(loaded.problems.front().message.find(c.says), std::string::npos)
        << c.name << ": " << loaded.problems.front().message;
    for (const auto& problem : loaded.problems) {
      EXPECT_EQ(problem.message.find("pw-"), std::string::npos)
          << c.name << ": " << problem.message;
    }
  }
}

TEST(UpsEntriesTest, TwoCablesEachHaveTheirOwnRegistryDelayAndSupplies) {
  const auto loaded = ParseConfig(
      "[[ups]]\nname = \"l\"\nport = \"COM1\"\nturn_off_delay = 30\n"
      "[[ups]]\nname = \"r\"\nport = \"COM2\"\nsupplies = 0\n");
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  const Config& config = loaded.config;
  ASSERT_EQ(config.upses.size(), 2u);
  EXPECT_EQ(config.upses[0].registry, Config().ups().registry + "/l");
  EXPECT_EQ(config.upses[1].registry, Config().ups().registry + "/r");
  EXPECT_EQ(config.TurnOffDelay(config.upses[0]), 30u);
  EXPECT_EQ(config.MinSupplies(), 1u);
}

TEST(UpsEntriesTest, CablesShareOneDriverButNeverARegistry) {
  const auto loaded = ParseConfig(
      "[[ups]]\nname = \"l\"\nport = \"COM1\"\nregistry = \"/srv/r\"\n"
      "[[ups]]\nname = \"r\"\nport = \"COM2\"\nregistry = \"/srv/r\"\nlibrary = \"/x.so\"\n");
  std::string all;
  for (const auto& problem : loaded.problems) {
    all += std::to_string(problem.line) + ": " + problem.message + "\n";
  }
  EXPECT_NE(all.find("9: ups.library is the machine's"), std::string::npos) << all;
  EXPECT_NE(all.find("8: ups.registry /srv/r is the registry of the entry on line 1"),
            std::string::npos)
      << all;
}

TEST(UpsEntriesTest, NoTwoCablesOnOnePortAndNoMoreUpsesThanTheTurnOffRequestCanName) {
  auto loaded = ParseConfig(
      "[[ups]]\nname = \"l\"\nport = \"COM1\"\n"
      "[[ups]]\nname = \"r\"\nport = \"COM1\"\n");
  ASSERT_EQ(loaded.problems.size(), 1u);
  EXPECT_EQ(loaded.problems.front().line, 4);
  EXPECT_EQ(
      loaded.problems.front().message,
      "ups.port COM1 is the port of the entry on line 1 too: each UPS has a cable of its own");
  // A 65th UPS could never be named among those to turn off after a shutdown.
  std::string many;
  for (int k = 0; k < 65; ++k) {
    many += "[[ups]]\nname = \"u" + std::to_string(k) + "\"\nport = \"COM" + std::to_string(k + 1) +
            "\"\n";
  }
  loaded = ParseConfig(many);
  ASSERT_EQ(loaded.problems.size(), 1u) << loaded.problems.front().message;
  EXPECT_EQ(loaded.problems.front().message, "[[ups]] holds 65 entries: at most 64");
  many.erase(many.rfind("[[ups]]"));
  EXPECT_TRUE(ParseConfig(many).problems.empty());
}

TEST(UpsEntriesTest, AReloadNamesTheNewKeysAndANewSetOfUpses) {
  const auto before = ParseConfig(kTwoServers).config;
  auto after = before;
  after.upses[1].supplies = 0;
  after.shutdown.minSupplies = 1;
  after.upses[0].onBatterySeconds = 10;
  const auto changed = corvale::host::ChangedKeys(before, after);
  EXPECT_EQ(changed, (std::vector<std::string>{"ups.supplies", "ups.on_battery_seconds",
                                               "shutdown.min_supplies"}));
  after = before;
  after.upses.pop_back();
  EXPECT_EQ(corvale::host::ChangedKeys(before, after).front(), "ups");
}

// Two cables, a user for each stage's machine: the stages after `stages`.
std::string TwoCablesWithStages(const std::string& stages) {
  return "[[ups]]\nname = \"left\"\nport = \"COM1\"\nregistry = \"/srv/l\"\n"
         "[[ups]]\nname = \"right\"\nport = \"COM2\"\nregistry = \"/srv/r\"\n"
         "on_battery_seconds = 50\n"
         "[[users]]\nname = \"vm\"\npassword = \"pw\"\nupsmon = \"secondary\"\n"
         "[[users]]\nname = \"nas\"\npassword = \"pw\"\nupsmon = \"secondary\"\n" +
         stages;
}

TEST(UpsEntriesTest, EachStageFollowsTheUpsItNamesAndTheFirstWhenItNamesNone) {
  const auto loaded = ParseConfig(TwoCablesWithStages(
      "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nafter_seconds = 20\n"
      "[[stage]]\nname = \"storage\"\nusers = [\"nas\"]\nwhen = \"low-battery\"\n"
      "ups = \"right\"\n"));
  ASSERT_TRUE(loaded.problems.empty()) << loaded.problems.front().message;
  const Config& config = loaded.config;
  ASSERT_EQ(config.stages.size(), 2u);
  EXPECT_EQ(config.StageUps(config.stages[0]), 0u);
  EXPECT_EQ(config.StageUps(config.stages[1]), 1u);

  // A single [ups] table named explicitly is the same as naming none.
  const auto single = ParseConfig(
      "[ups]\nname = \"only\"\nport = \"COM1\"\n"
      "[[users]]\nname = \"vm\"\npassword = \"pw\"\nupsmon = \"secondary\"\n"
      "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nwhen = \"lost\"\nups = \"only\"\n");
  ASSERT_TRUE(single.problems.empty()) << single.problems.front().message;
  EXPECT_EQ(single.config.StageUps(single.config.stages[0]), 0u);
}

TEST(UpsEntriesTest, AStageNamingNoUpsOfThisMachineIsRefusedWithItsLine) {
  struct Case {
    std::string text;
    int line;
    std::string says;
  } cases[] = {
      // A UPS this machine does not watch (a name is case-sensitive, as the NUT server's are).
      {TwoCablesWithStages("[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nwhen = \"lost\"\n"
                           "ups = \"Right\"\n"),
       22,
       "stage \"vms\" follows the UPS \"Right\", which this machine does not watch (its UPSes: "
       "left, right)"},
      {TwoCablesWithStages("[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nwhen = \"lost\"\n"
                           "ups = \"\"\n"),
       22, "which this machine does not watch"},
      // Timed on its own UPS, against that UPS's own time limit.
      {TwoCablesWithStages("[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nafter_seconds = 60\n"
                           "ups = \"right\"\n"),
       18,
       "stage \"vms\" goes after 60 s on battery, but this machine itself shuts down after 50 s "
       "(the on_battery_seconds of the UPS right)"},
      // An agent has no plan: the key with it is refused where the stages begin.
      {std::string(kTwoServers) +
           "[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\nwhen = \"lost\"\nups = \"rack\"\n",
       13, "belongs on the machine with the UPS's cable"},
  };
  for (const auto& c : cases) {
    const auto loaded = ParseConfig(c.text);
    ASSERT_FALSE(loaded.problems.empty()) << c.says;
    EXPECT_EQ(loaded.problems.front().line, c.line) << loaded.problems.front().message;
    EXPECT_NE(loaded.problems.front().message.find(c.says), std::string::npos)
        << loaded.problems.front().message;
  }
  // A UPS this machine does not watch is said once, not held against the first UPS's limit.
  EXPECT_EQ(ParseConfig(TwoCablesWithStages("[[stage]]\nname = \"vms\"\nusers = [\"vm\"]\n"
                                            "after_seconds = 60\nups = \"Right\"\n"
                                            "[shutdown]\non_battery_seconds = 30\n"))
                .problems.size(),
            1u);
  // Beyond its UPS's limit where that UPS counting out leaves enough supplies: this machine runs
  // on, and the stage still goes on that UPS's time.
  const auto redundant =
      ParseConfig(TwoCablesWithStages("[shutdown]\nmin_supplies = 1\n[[stage]]\nname = \"vms\"\n"
                                      "users = [\"vm\"]\nafter_seconds = 60\nups = \"right\"\n"));
  EXPECT_TRUE(redundant.problems.empty()) << redundant.problems.front().message;
  // Timed within its own UPS's limit, even beyond the first's: taken.
  EXPECT_TRUE(ParseConfig(TwoCablesWithStages("[shutdown]\non_battery_seconds = 30\n[[stage]]\n"
                                              "name = \"vms\"\nusers = [\"vm\"]\n"
                                              "after_seconds = 40\nups = \"right\"\n"))
                  .problems.empty());
}

}  // namespace
