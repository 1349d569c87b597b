// The root helper and kill-power against what the service's account can plant: it holds the
// request folder and may put anything there, and we also put things in root's own folder that it
// should never be able to, to see that root is not fooled even then. Runs as root; the planting
// is done as an unprivileged user where the move needs it.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "host/config.h"
#include "tests/support/free_port.h"
#include "tests/support/service_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using corvale::testing::ReadFile;
using corvale::testing::Subprocess;

constexpr std::uint16_t kOnBatt = 0x0001, kLowBatt = 0x0004;

std::string Padded(std::uint64_t number) {
  std::string digits = std::to_string(number);
  return std::string(20 - digits.size(), '0') + digits;
}
std::uint64_t NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}
// A request as the service names it.
std::string Request(std::uint64_t instance, std::uint64_t sequence, const std::string& kind) {
  return Padded(instance) + "-" + Padded(sequence) + "-" + kind;
}

class RootHelperTest : public corvale::testing::ServiceFixture {
 protected:
  void SetUp() override {
    nobody_ = getpwnam("nobody");
    ASSERT_NE(nobody_, nullptr);
    fs::permissions(Dir(), fs::perms(0755));
    fs::create_directories(Requests());
    ASSERT_EQ(chown(Requests().c_str(), nobody_->pw_uid, nobody_->pw_gid), 0);
    fs::create_directories(Results());
    fs::create_directories(Flag().parent_path());
    // Root's own file elsewhere: nothing may change it.
    std::ofstream(Secret()) << "root's own\n";
    fs::permissions(Secret(), fs::perms(0600));
  }

  fs::path Requests() const { return Dir() / "requests"; }
  fs::path Results() const { return Dir() / "results"; }
  fs::path Secret() const { return Dir() / "secret"; }
  fs::path Ran() const { return Dir() / "shutdown-ran"; }
  // Where root keeps the flag the service asked for until it runs the service's shutdown.
  fs::path Pending() const { return Flag().string() + ".pending"; }

  fs::path Config(const std::string& more = {}) {
    return WriteConfig("echo ran >> " + Ran().string(), "requests = \"" + Requests().string() +
                                                            "\"\nresults = \"" +
                                                            Results().string() + "\"\n" + more);
  }
  // What the service's HTTP endpoint answers at `path`.
  std::string Fetch(const std::string& path) {
    Subprocess curl(
        {"curl", "-s", "-w", "\\n", "http://127.0.0.1:" + std::to_string(port_) + path});
    return curl.ReadAll(10s);
  }
  // A shell command run as the unprivileged user; its exit status.
  int AsNobody(const std::string& script) {
    return RunToEnd({"setpriv", "--reuid=" + std::to_string(nobody_->pw_uid),
                     "--regid=" + std::to_string(nobody_->pw_gid), "--clear-groups", "/bin/sh",
                     "-c", script});
  }
  // One start of the helper, as the path unit makes it; its exit status. It must end on its own,
  // quickly (measured, with a bound generous enough for a loaded machine).
  // `lastGood`: where it keeps its copy of the file; none by default, as nothing outside the
  // test's folder may be written.
  int HelperStart(const fs::path& config, const std::string& lastGood = "") {
    const auto started = std::chrono::steady_clock::now();
    const int status =
        Tool({"shutdown-helper", "--config", config.string(), "--last-good", lastGood});
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, 10s) << "a start of the helper must end by itself";
    return status;
  }
  std::size_t Count(const fs::path& folder) {
    std::error_code ignored;
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder, ignored), fs::directory_iterator()));
  }

  const passwd* nobody_ = nullptr;
  int port_ = corvale::testing::FreePort();
  int nutPort_ = corvale::testing::FreePort();
};

TEST_F(RootHelperTest, RootNeverWritesThroughWhatIsAtTheFlagsPath) {
  const fs::path config = Config();
  // What might be at the flag's path, and at the pending flag's: each is replaced by root's own
  // flag, never written through.
  const auto planted = [&](const fs::path& at) {
    return std::vector<std::pair<std::string, std::function<void()>>>{
        {"a symlink at " + at.string(), [this, at] { fs::create_symlink(Secret(), at); }},
        {"a hard link at " + at.string(), [this, at] { fs::create_hard_link(Secret(), at); }},
        {"a FIFO at " + at.string(), [at] { ASSERT_EQ(mkfifo(at.c_str(), 0644), 0); }},
        {"a folder at " + at.string(),
         [at] {
           fs::create_directories(at / "inside");
           std::ofstream(at / "inside" / "file") << "x";
         }},
    };
  };
  auto plants = planted(Flag());
  for (auto& more : planted(Pending())) plants.push_back(std::move(more));
  std::uint64_t sequence = 0;
  for (const auto& [what, plant] : plants) {
    std::error_code ignored;
    fs::remove_all(Flag(), ignored);
    fs::remove_all(Pending(), ignored);
    plant();
    const std::uint64_t instance = NowMs();
    sequence += 2;
    ASSERT_EQ(AsNobody("touch " + (Requests() / Request(instance, sequence - 1, "flag")).string() +
                       " " + (Requests() / Request(instance, sequence, "shutdown")).string()),
              0);
    EXPECT_EQ(HelperStart(config), 0) << what;
    EXPECT_FALSE(fs::exists(fs::symlink_status(Pending()))) << what;
    struct stat flag;
    ASSERT_EQ(lstat(Flag().c_str(), &flag), 0) << what;
    EXPECT_TRUE(S_ISREG(flag.st_mode)) << what;
    EXPECT_EQ(flag.st_uid, 0u) << what;
    EXPECT_EQ(flag.st_nlink, 1u) << what;
    EXPECT_NE(ReadFile(Flag()).find("port=COM1\n"), std::string::npos) << what;
    EXPECT_EQ(ReadFile(Secret()), "root's own\n") << what;
    EXPECT_EQ(Count(Requests()), 0u) << what;
  }
}

// The helper knows how a shutdown ended even when the service has stopped since it asked: one
// that failed must leave no power cut for the next ordinary restart.
TEST_F(RootHelperTest, AShutdownThatFailedLeavesNoFlagAndOneThatWorkedKeepsIt) {
  for (const auto& [command, flagKept] :
       {std::pair{std::string("exit 3"), false}, std::pair{std::string("true"), true}}) {
    const fs::path config =
        WriteConfig(command, "requests = \"" + Requests().string() + "\"\nresults = \"" +
                                 Results().string() + "\"\n");
    const std::uint64_t instance = NowMs();
    ASSERT_EQ(AsNobody("touch " + (Requests() / Request(instance, 1, "flag")).string() + " " +
                       (Requests() / Request(instance, 2, "shutdown")).string()),
              0);
    EXPECT_EQ(HelperStart(config), 0) << command;
    EXPECT_EQ(fs::exists(Flag()), flagKept) << command;
    EXPECT_FALSE(fs::exists(Pending())) << command;
    EXPECT_EQ(Count(Requests()), 0u) << command;
    std::error_code ignored;
    fs::remove(Flag(), ignored);
    std::this_thread::sleep_for(5ms);  // the next instance's number is higher
  }
}

// The service's account, once taken, may ask for the flag alone, with no shutdown: root keeps it
// aside, and only a shutdown it runs for the service makes it the flag kill-power reads. The
// admin's next ordinary reboot cuts nothing.
TEST_F(RootHelperTest, AFlagAskedForAloneCutsNothingUntilRootRunsTheServicesShutdown) {
  const fs::path config = Config();
  const std::uint64_t instance = NowMs();
  std::uint64_t sequence = 0;
  const auto ask = [&](std::initializer_list<const char*> kinds) {
    std::string touch = "touch";
    for (const char* kind : kinds) {
      touch += " " + (Requests() / Request(instance, ++sequence, kind)).string();
    }
    ASSERT_EQ(AsNobody(touch), 0);
    EXPECT_EQ(HelperStart(config), 0);
    EXPECT_EQ(Count(Requests()), 0u);
  };
  const auto killPower = [&] { return Tool({"kill-power", "--config", config.string()}); };
  ask({"flag"});
  EXPECT_FALSE(fs::exists(Flag())) << "root wrote the flag with no shutdown";
  EXPECT_EQ(killPower(), 0);
  EXPECT_TRUE(line.peer->TurnOffDelays().empty()) << "an ordinary reboot cut the power";
  EXPECT_FALSE(fs::exists(Pending())) << "kept for a later shutdown";

  // Taken back: a shutdown after it cuts nothing.
  ask({"flag", "unflag", "shutdown"});
  EXPECT_EQ(ReadFile(Ran()), "ran\n");
  EXPECT_FALSE(fs::exists(Flag()));

  // The service's own shutdown: the flag is root's, and the UPS goes off after it.
  ask({"flag", "shutdown"});
  EXPECT_EQ(ReadFile(Ran()), "ran\nran\n");
  EXPECT_FALSE(fs::exists(Pending()));
  EXPECT_EQ(killPower(), 0);
  EXPECT_EQ(line.peer->TurnOffDelays(), std::vector<std::uint32_t>{42});
  EXPECT_FALSE(fs::exists(Flag()));

  // A shutdown asked for alone writes no flag from an earlier request.
  ask({"shutdown"});
  EXPECT_FALSE(fs::exists(Flag()));
}

// An abandoned shutdown's unflag that waited too long for the helper (its path unit stopped) is
// still carried out when the helper runs again, and before what the service asks now.
TEST_F(RootHelperTest, AnUnflagIsCarriedOutHoweverOldAndBeforeNewerRequests) {
  const fs::path config = Config();
  const auto plantFlag = [&] {
    const std::uint64_t instance = NowMs();
    ASSERT_EQ(AsNobody("touch " + (Requests() / Request(instance, 1, "flag")).string() + " " +
                       (Requests() / Request(instance, 2, "shutdown")).string()),
              0);
    ASSERT_EQ(HelperStart(config), 0);
    ASSERT_TRUE(fs::exists(Flag()));
  };
  plantFlag();
  const std::uint64_t earlier = NowMs() - 600'000;
  ASSERT_EQ(AsNobody("touch -d '10 minutes ago' " +
                     (Requests() / Request(earlier, 7, "unflag")).string()),
            0);
  EXPECT_EQ(HelperStart(config), 0);
  EXPECT_FALSE(fs::exists(Flag())) << "the abandoned shutdown's flag stayed";
  // A flag asked for whose shutdown never came goes the same way.
  std::this_thread::sleep_for(5ms);
  ASSERT_EQ(AsNobody("touch " + (Requests() / Request(NowMs(), 1, "flag")).string()), 0);
  ASSERT_EQ(HelperStart(config), 0);
  ASSERT_TRUE(fs::exists(Pending()));
  ASSERT_EQ(AsNobody("touch -d '10 minutes ago' " +
                     (Requests() / Request(earlier, 9, "unflag")).string()),
            0);
  EXPECT_EQ(HelperStart(config), 0);
  EXPECT_FALSE(fs::exists(Pending())) << "the abandoned shutdown's pending flag stayed";

  // An old unflag and a real shutdown of the service that runs now: the flag is the new one's.
  plantFlag();
  std::this_thread::sleep_for(5ms);
  const std::uint64_t now = NowMs();
  ASSERT_EQ(AsNobody("touch -d '10 minutes ago' " +
                     (Requests() / Request(earlier, 8, "unflag")).string() + " && touch " +
                     (Requests() / Request(now, 1, "unflag")).string() + " " +
                     (Requests() / Request(now, 2, "flag")).string() + " " +
                     (Requests() / Request(now, 3, "shutdown")).string()),
            0);
  EXPECT_EQ(HelperStart(config), 0);
  EXPECT_TRUE(fs::exists(Flag()));
  EXPECT_EQ(Count(Requests()), 0u);
  EXPECT_EQ(ReadFile(Secret()), "root's own\n");
}

TEST_F(RootHelperTest, KillPowerTrustsOnlyRootsFlagInRootsFolder) {
  const fs::path config = Config();
  // A flag's text root wrote elsewhere, which a link could borrow.
  const fs::path decoy = Dir() / "decoy";
  std::ofstream(decoy) << "# the UPS is to be turned off\nport=COM1\nturn_off_delay=7\n";
  const std::string decoyText = ReadFile(decoy);
  const std::vector<std::pair<std::string, std::function<void()>>> planted = {
      {"a symlink", [&] { fs::create_symlink(decoy, Flag()); }},
      {"a hard link", [&] { fs::create_hard_link(decoy, Flag()); }},
      {"a FIFO", [&] { ASSERT_EQ(mkfifo(Flag().c_str(), 0644), 0); }},
      {"a folder", [&] { fs::create_directories(Flag() / "inside"); }},
      {"a file of another user's",
       [&] {
         std::ofstream(Flag()) << "port=COM1\n";
         ASSERT_EQ(chown(Flag().c_str(), nobody_->pw_uid, nobody_->pw_gid), 0);
       }},
  };
  for (const auto& [what, plant] : planted) {
    std::error_code ignored;
    fs::remove_all(Flag(), ignored);
    plant();
    EXPECT_NE(Tool({"kill-power", "--config", config.string()}), 0) << what;
    EXPECT_TRUE(line.peer->TurnOffDelays().empty()) << what;
    EXPECT_FALSE(fs::exists(fs::symlink_status(Flag()))) << what << ": it says nothing, and goes";
    EXPECT_EQ(ReadFile(decoy), decoyText) << what;
  }

  // Root's own flag, in a folder others may write: refused too, by kill-power, the helper and
  // check-config alike.
  std::ofstream(Flag()) << "port=COM1\n";
  ASSERT_EQ(chown(Flag().parent_path().c_str(), nobody_->pw_uid, nobody_->pw_gid), 0);
  EXPECT_NE(Tool({"kill-power", "--config", config.string()}), 0);
  EXPECT_TRUE(line.peer->TurnOffDelays().empty());
  Subprocess check({"/bin/sh", "-c", "exec \"$0\" check-config --config \"$1\" 2>&1",
                    CORVALE_UPS_TOOL, config.string()});
  const std::string said = check.ReadAll(10s);
  EXPECT_EQ(check.Wait(5s), 2) << said;
  EXPECT_NE(said.find("shutdown.flag_file: the folder " + Flag().parent_path().string() +
                      " may be written by its owner"),
            std::string::npos)
      << said;
  ASSERT_EQ(AsNobody("touch " + (Requests() / Request(NowMs(), 1, "shutdown")).string()), 0);
  EXPECT_NE(HelperStart(config), 0);
  EXPECT_FALSE(fs::exists(Ran())) << "the helper refuses to work with such a folder";
  ASSERT_EQ(chown(Flag().parent_path().c_str(), 0, 0), 0);

  // An answer folder every user may write, and a flag folder that is a link: refused.
  fs::permissions(Results(), fs::perms(0777));
  EXPECT_NE(HelperStart(config), 0);
  fs::permissions(Results(), fs::perms(0755));
  const fs::path real = Dir() / "real-run";
  fs::rename(Flag().parent_path(), real);
  fs::create_directory_symlink(real, Flag().parent_path());
  EXPECT_NE(HelperStart(config), 0);
  EXPECT_FALSE(fs::exists(Ran()));
}

TEST_F(RootHelperTest, TheHelperReadsNamesOnlyCarriesOutOnlyRealRequestsAndLeavesNothing) {
  const fs::path config = Config();
  const std::uint64_t instance = NowMs();
  const fs::path folder = Requests();
  // What the service's account can put there, beside one real request.
  const std::string plant =
      "cd " + folder.string() +
      " && touch 1-flag 1-shutdown 1234567890123456789012345-shutdown .x.tmp " +
      Request(instance, 1, "shutdownx") + " && mkdir -p " + Request(instance, 2, "shutdown") +
      "/deeper && touch " + Request(instance, 2, "shutdown") + "/deeper/file && ln -s " +
      Secret().string() + " " + Request(instance, 3, "shutdown") + " && mkfifo " +
      Request(instance, 4, "shutdown") +
      // An earlier run's request, and one too old to be meant now.
      " && touch " + Request(instance - 60000, 1, "shutdown") + " && touch -d '10 minutes ago' " +
      Request(instance, 5, "shutdown") +
      // 10,000 names at once.
      " && seq 1 5000 | sed 's/^/junk-/' | xargs touch && seq 1 5000 | while read n; do printf "
      "'%020d-%020d-shutdown\\n' 1 $n; done | xargs touch && touch " +
      Request(instance, 9, "shutdown");
  ASSERT_EQ(AsNobody(plant), 0);
  ASSERT_GT(Count(folder), 10000u);

  EXPECT_EQ(HelperStart(config), 0);
  EXPECT_EQ(ReadFile(Ran()), "ran\n") << "once, for the one real request";
  EXPECT_EQ(Count(folder), 0u) << "nothing left to keep the path unit starting the helper";
  EXPECT_EQ(ReadFile(Results() / (Padded(instance) + "-" + Padded(9))), "exit 0");
  EXPECT_EQ(Count(Results()), 1u) << "root wrote nothing else there";
  EXPECT_EQ(ReadFile(Secret()), "root's own\n");
  EXPECT_FALSE(fs::exists(Flag()));
  // Another start finds nothing to do again.
  EXPECT_EQ(HelperStart(config), 0);
  EXPECT_EQ(ReadFile(Ran()), "ran\n");
}

TEST_F(RootHelperTest, AStartCarriesOutABoundedNumberAndAnswersAreNotKept) {
  const fs::path config = Config();
  const std::uint64_t instance = NowMs();
  ASSERT_EQ(AsNobody("cd " + Requests().string() +
                     " && seq 1 100 | while read n; do printf '%020d-%020d-ping\\n' " +
                     std::to_string(instance) + " $n; done | xargs touch"),
            0);
  EXPECT_EQ(HelperStart(config), 0);
  EXPECT_EQ(Count(Results()), 64u);
  EXPECT_EQ(Count(Requests()), 36u) << "the oldest first, the rest at the next start";
  EXPECT_TRUE(fs::exists(Results() / (Padded(instance) + "-" + Padded(64))));
  EXPECT_EQ(HelperStart(config), 0);
  EXPECT_EQ(Count(Results()), 100u);
  // Answers nobody read are removed after a few minutes; the flag beside them stays.
  fs::create_directories(Flag().parent_path());
  std::ofstream(Results() / "killpower") << "port=COM1\n";
  for (const auto& entry : fs::directory_iterator(Results())) {
    fs::last_write_time(entry.path(), fs::file_time_type::clock::now() - 10min);
  }
  EXPECT_EQ(HelperStart(config), 0);
  EXPECT_EQ(Count(Results()), 1u);
  EXPECT_TRUE(fs::exists(Results() / "killpower"));
}

TEST_F(RootHelperTest, TheServiceEmptiesItsFolderAndKnowsWhenTheHelperDoesNotAnswer) {
  const passwd* nobody = nobody_;
  ASSERT_EQ(chown(line.registry.Root().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(
      RunToEnd({"chown", "-R", std::to_string(nobody->pw_uid), line.registry.Root().string()}), 0);
  fs::permissions(line.peer->DevicePath(), fs::perms(0666));
  // Left by an earlier run: never to be carried out.
  ASSERT_EQ(AsNobody("touch " + (Requests() / Request(NowMs() - 1000, 1, "shutdown")).string() +
                     " " + (Requests() / "stray").string()),
            0);
  // Answers from a time the clock has gone back behind: none is taken for a new request's.
  for (int sequence = 0; sequence < 4; ++sequence) {
    std::ofstream(Results() / (Padded(NowMs() + 3600000) + "-" + Padded(sequence))) << "exit 0";
  }
  // The service's own runtime folder, where it answers the commands on this machine.
  const fs::path runtime = Dir() / "runtime";
  fs::create_directories(runtime);
  ASSERT_EQ(chown(runtime.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  const fs::path config =
      Config("[http]\nlisten = [\"127.0.0.1:" + std::to_string(port_) +
             "\"]\n[network]\nlisten = [\"127.0.0.1:" + std::to_string(nutPort_) +
             "\"]\n[service]\ncontrol = \"" + (runtime / "control").string() + "\"\n");
  Start(config, {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                 "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups"});
  ASSERT_TRUE(WaitFor("test-ups: online")) << log;
  for (const auto& entry : fs::directory_iterator(Requests())) {
    EXPECT_NE(entry.path().filename().string().find("-ping"), std::string::npos)
        << entry.path() << " is left from before the service started";
  }
  // Nobody answers the ping.
  ASSERT_TRUE(WaitFor("the privileged helper does not answer", 20s)) << log;
  EXPECT_NE(log.find("systemctl reset-failed corvale-ups-shutdown.service "
                     "corvale-ups-shutdown.path; systemctl start corvale-ups-shutdown.path"),
            std::string::npos);
  ASSERT_TRUE(WaitFor("test-ups: shutdown-unready")) << log;
  EXPECT_NE(Fetch("/metrics").find("corvale_ups_shutdown_ready{ups=\"test-ups\"} 0"),
            std::string::npos);
  const std::string status = Fetch("/api/v1/status");
  EXPECT_NE(status.find("\"ready\":false"), std::string::npos) << status;
  Subprocess asked({"/bin/sh", "-c", "exec \"$0\" status --config \"$1\" 2>&1", CORVALE_UPS_TOOL,
                    config.string()});
  const std::string told = asked.ReadAll(10s);
  asked.Wait(5s);
  EXPECT_NE(told.find("warning: the service could not shut this host down"), std::string::npos)
      << told;
  // A shutdown now says at once that the helper is not answering.
  line.peer->SetStatus(kOnBatt | kLowBatt);
  ASSERT_TRUE(WaitFor("has not answered since its last ping", 5s)) << log;
  // The helper comes back: the shutdown is carried out, and the next ping says it answers.
  for (int i = 0; i < 100 && !fs::exists(Ran()); ++i) {
    HelperStart(config);
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(ReadFile(Ran()), "ran\n");
  ASSERT_TRUE(WaitFor("the root helper's shutdown ended: exit status 0")) << log;
  bool answered = false;
  for (int i = 0; i < 60 && !answered; ++i) {
    HelperStart(config);
    answered = WaitFor("the privileged helper answers again", 1s);
  }
  EXPECT_TRUE(answered) << log;
  ASSERT_TRUE(WaitFor("test-ups: shutdown-ready")) << log;
  EXPECT_NE(Fetch("/metrics").find("corvale_ups_shutdown_ready{ups=\"test-ups\"} 1"),
            std::string::npos);
}

// A pending flag an earlier run asked for (it stopped before its shutdown) would become the flag
// at the next shutdown root runs, whatever this run asks: the service has root remove it at once.
TEST_F(RootHelperTest, TheServiceHasRootRemoveAPendingFlagOfAnEarlierRunAtItsStart) {
  ASSERT_EQ(
      RunToEnd({"chown", "-R", std::to_string(nobody_->pw_uid), line.registry.Root().string()}), 0);
  fs::permissions(line.peer->DevicePath(), fs::perms(0666));
  const fs::path runtime = Dir() / "runtime";
  fs::create_directories(runtime);
  ASSERT_EQ(chown(runtime.c_str(), nobody_->pw_uid, nobody_->pw_gid), 0);
  const fs::path config =
      Config("[service]\ncontrol = \"" + (runtime / "control").string() + "\"\n");
  std::ofstream(Pending()) << "port=COM1\n";
  Start(config, {"setpriv", "--reuid=" + std::to_string(nobody_->pw_uid),
                 "--regid=" + std::to_string(nobody_->pw_gid), "--clear-groups"});
  // Named as it is: the admin looks for the file the log names.
  ASSERT_TRUE(
      WaitFor("asked the privileged helper to remove a stale flag file " + Pending().string()))
      << log;
  EXPECT_EQ(HelperStart(config), 0);
  EXPECT_FALSE(fs::exists(Pending()));
  EXPECT_FALSE(fs::exists(Flag()));
}

// An edit that breaks the file (refused by the reload, or never reloaded) must not keep root from
// shutting the machine down when the power fails: it acts on the last good copy, kept where only
// root may write and only from a file that root alone may write.
TEST_F(RootHelperTest, ABrokenEditLeavesRootActingOnTheLastGoodCopy) {
  const fs::path config = Config(), kept = Results() / "last-good.toml";
  ASSERT_EQ(HelperStart(config, kept.string()), 0);
  EXPECT_EQ(ReadFile(kept), ReadFile(config));
  EXPECT_EQ(fs::status(kept).permissions(), fs::perms(0600)) << "it may hold passwords";

  const std::string good = ReadFile(config);
  std::ofstream(config, std::ios::app) << "[shutdown]\nretry_seconds = \"soon\"\n";
  const auto askForShutdown = [&] {
    ASSERT_EQ(AsNobody("touch " + (Requests() / Request(NowMs(), 1, "shutdown")).string()), 0);
  };
  askForShutdown();
  EXPECT_EQ(HelperStart(config, ""), 2) << "no copy: nothing to act on";
  EXPECT_FALSE(fs::exists(Ran()));
  EXPECT_EQ(HelperStart(config, kept.string()), 0);
  EXPECT_EQ(ReadFile(Ran()), "ran\n");
  EXPECT_EQ(ReadFile(kept), good) << "a broken file is never kept";

  // A typo in the program root runs is as bad: the copy's command runs, the copy stays.
  std::string typo = good;
  typo.replace(typo.find("echo ran"), 4, "/nonexistent/echo");
  std::ofstream(config) << typo;
  askForShutdown();
  EXPECT_EQ(HelperStart(config, kept.string()), 0);
  EXPECT_EQ(ReadFile(Ran()), "ran\nran\n");
  EXPECT_EQ(ReadFile(kept), good);

  // A file that others may write is refused, and never kept to be acted on later.
  std::string other = good;
  other.replace(other.find("echo ran"), 8, "echo bad");
  std::ofstream(config) << other;
  fs::permissions(config, fs::perms(0666));
  EXPECT_EQ(HelperStart(config, kept.string()), 2);
  EXPECT_EQ(ReadFile(kept), good);
}

}  // namespace

namespace {

// On an agent, whatever the service's account asks, root writes no flag, and kill-power cuts
// nothing: the power is its primary's to cut.
TEST_F(RootHelperTest, AnAgentsHelperWritesNoFlagAndKillPowerCutsNothing) {
  const fs::path config = Dir() / "agent.toml";
  std::ofstream(config)
      << "[ups]\nserver = \"127.0.0.1:" << nutPort_
      << "\"\nuser = \"a\"\npassword = \"p\"\n[shutdown]\ncommand = \"echo ran >> "
      << Ran().string() << "\"\nflag_file = \"" << Flag().string() << "\"\nrequests = \""
      << Requests().string() << "\"\nresults = \"" << Results().string() << "\"\n";
  fs::permissions(config, fs::perms(0600));
  const std::uint64_t instance = NowMs();
  ASSERT_EQ(AsNobody("touch " + (Requests() / Request(instance, 1, "flag")).string() + " " +
                     (Requests() / Request(instance, 2, "shutdown")).string()),
            0);
  EXPECT_EQ(HelperStart(config), 0);
  EXPECT_FALSE(fs::exists(Flag()));
  EXPECT_FALSE(fs::exists(Pending()));
  EXPECT_EQ(ReadFile(Ran()), "ran\n") << "its own shutdown still runs";
  // A flag of root's from when this machine held the cable cuts nothing now, and is gone.
  std::ofstream(Flag()) << "port=COM1\ndelay=7\n";
  EXPECT_EQ(Tool({"kill-power", "--config", config.string()}), 0);
  EXPECT_TRUE(line.peer->TurnOffDelays().empty());
  EXPECT_FALSE(fs::exists(Flag()));
}

TEST_F(RootHelperTest, WithSeveralUpsesRootFlagsOnlyTheOnesAskedForThatFeedThisMachine) {
  const fs::path config = Dir() / "several.toml";
  using Entry = std::tuple<const char*, const char*, int, int>;
  const auto write = [&](std::initializer_list<Entry> entries) {
    std::ofstream out(config);
    for (const auto& [name, port, supplies, delay] : entries) {
      out << "[[ups]]\nname = \"" << name << "\"\nport = \"" << port << "\"\ndevices = \""
          << line.Devices().string() << "\"\nregistry = \"" << (Dir() / name).string()
          << "\"\nsupplies = " << supplies << "\nturn_off_delay = " << delay << "\n";
    }
    out << "[shutdown]\ncommand = \"true\"\nmin_supplies = 1\nflag_file = \"" << Flag().string()
        << "\"\nrequests = \"" << Requests().string() << "\"\nresults = \"" << Results().string()
        << "\"\n[events]\nhistory = \"\"\n";
    out.close();
    fs::permissions(config, fs::perms(0600));
    const auto loaded = corvale::host::LoadConfig(config.string());
    EXPECT_TRUE(loaded.problems.empty());
    return Padded(loaded.config.UpsListDigest());
  };
  const std::string started = write({Entry{"left", "COM1", 1, 31}, Entry{"right", "COM2", 1, 32},
                                     Entry{"watched", "COM3", 0, 33}});
  const std::uint64_t instance = NowMs();
  // Each flag with the shutdown root runs for it.
  const auto ask = [&](std::uint64_t sequence, const std::string& kind) {
    ASSERT_EQ(
        AsNobody("touch " + (Requests() / Request(instance, 2 * sequence, kind)).string() + " " +
                 (Requests() / Request(instance, 2 * sequence + 1, "shutdown")).string()),
        0);
    EXPECT_EQ(HelperStart(config), 0) << kind;
    EXPECT_FALSE(fs::exists(Pending())) << kind;
  };
  // The plain flag is a single UPS's: with several it names none.
  ask(1, "flag");
  EXPECT_FALSE(fs::exists(Flag()));
  // Only watched: never turned off, whoever asks.
  ask(2, "flag-" + Padded(0b100) + "-" + started);
  EXPECT_FALSE(fs::exists(Flag()));
  // left and watched (and a place beyond the file): left alone, as root's file describes it.
  ask(3, "flag-" + Padded(0b1101) + "-" + started);
  const std::string flag = ReadFile(Flag());
  EXPECT_NE(flag.find("upses=1\nups.1.name=left\nups.1.port=COM1\n"), std::string::npos) << flag;
  EXPECT_EQ(flag.find("watched"), std::string::npos) << flag;
  EXPECT_EQ(flag.find("right"), std::string::npos) << flag;
  EXPECT_EQ(Tool({"kill-power", "--config", config.string()}), 0);
  EXPECT_EQ(line.peer->TurnOffDelays(), std::vector<std::uint32_t>{31});
  EXPECT_FALSE(fs::exists(Flag()));

  // An entry put first while the service runs on the old list (a reload refuses another set of
  // UPSes): the service's first place is still left, root's is now the new one. Nothing is
  // turned off rather than a UPS nobody ordered.
  const std::string edited =
      write({Entry{"other", "COM4", 1, 34}, Entry{"left", "COM1", 1, 31},
             Entry{"right", "COM2", 1, 32}, Entry{"watched", "COM3", 0, 33}});
  ASSERT_NE(edited, started);
  ask(4, "flag-" + Padded(0b1) + "-" + started);
  EXPECT_FALSE(fs::exists(Flag()));
  // Once the service runs on the file again, its places are root's.
  ask(5, "flag-" + Padded(0b10) + "-" + edited);
  EXPECT_NE(ReadFile(Flag()).find("ups.1.name=left\n"), std::string::npos);
}

}  // namespace
