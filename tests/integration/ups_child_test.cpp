// Each UPS's driver in a process of its own: the lines it says and what the service refuses of
// them, the process on a simulated UPS, killed, hung, babbling, and two of them side by side.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "host/child_protocol.h"
#include "host/child_source.h"
#include "tests/support/captured_log.h"
#include "tests/support/line_fixture.h"

namespace corvale::host {
namespace {

using namespace std::chrono_literals;
using testing::Line;

TEST(ChildProtocol, SaysAndReadsBackEveryFieldAndRefusesAnythingElse) {
  Observation seen;
  seen.polled = 2;
  seen.state = 2;
  seen.linkLost = true;
  seen.statusText = "v1.0b  [ OnBatt\nLowBatt ]";  // a newline must not split the line
  const auto line = child::PolledLine(seen);
  ASSERT_EQ(line.back(), '\n');
  ASSERT_EQ(line.find('\n'), line.size() - 1);
  const auto parsed = child::ParseChildLine(line.substr(0, line.size() - 1));
  ASSERT_TRUE(parsed && parsed->polled);
  EXPECT_EQ(parsed->polled->polled, 2u);
  EXPECT_EQ(parsed->polled->state, 2u);
  EXPECT_TRUE(parsed->polled->linkLost);
  EXPECT_EQ(parsed->polled->statusText, "v1.0b  [ OnBatt?LowBatt ]");

  // A long text is cut so that the line keeps its bound.
  seen.statusText = std::string(5000, 'x');
  EXPECT_EQ(child::PolledLine(seen).size(), child::kMaxLine);
  EXPECT_EQ(child::LogText(Priority::kError, std::string(5000, 'y')).size(), child::kMaxLine);

  for (const char* bad : {"", "obs", "obs 3 1 0 x", "obs 1 8 0 x", "obs 1 1 2 x", "obs -1 1 0 x",
                          "obs 01 1 0", "obs 1 1", "log 7 x", "log 1 x", "off 2", "off",
                          "obs 1 1 0 a\tb", "hello", "obs 99999 1 0 x"}) {
    EXPECT_FALSE(child::ParseChildLine(bad)) << bad;
  }
  EXPECT_TRUE(child::ParseChildLine("obs 8 0 0 "));
  EXPECT_TRUE(child::IsHello("corvale-ups-child 1"));
  EXPECT_FALSE(child::IsHello("corvale-ups-child 2"));

  EXPECT_EQ(child::ParseOrder("off 120")->turnOffDelay, 120u);
  EXPECT_TRUE(child::ParseOrder("stop")->stop);
  EXPECT_FALSE(child::ParseOrder("off 1000"));
  EXPECT_FALSE(child::ParseOrder("off -1"));

  child::LineSplitter splitter;
  EXPECT_TRUE(splitter.Add("obs 1 1 0 a\nob"));
  EXPECT_TRUE(splitter.Add("s 2 2 0 b\n"));
  EXPECT_EQ(splitter.Take(), (std::vector<std::string>{"obs 1 1 0 a", "obs 2 2 0 b"}));
  // A line without its end is refused once it passes the bound, not held on to.
  EXPECT_FALSE(splitter.Add(std::string(child::kMaxLine, 'z')));
  EXPECT_FALSE(splitter.Add("\n"));
}

// A ChildSource on its own thread, with what it says kept.
class Watched {
 public:
  Watched(ChildSourceOptions options, const char* logName)
      : logFile_(std::tmpfile()),
        log_(false, logFile_),
        source_(std::move(options), log_, [this](const Observation& seen) {
          std::lock_guard lock(mutex_);
          seen_.push_back(seen);
        }) {
    (void)logName;
    thread_ = std::thread([this] { source_.Run(); });
  }
  ~Watched() {
    Stop();
    std::fclose(logFile_);
  }
  void Stop() {
    source_.Stop();
    if (thread_.joinable()) thread_.join();
  }
  std::vector<Observation> Seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  // Waits up to `within` for an observation that `wanted` accepts.
  template <typename Wanted>
  bool WaitFor(Wanted wanted, std::chrono::milliseconds within) {
    const auto until = Clock::now() + within;
    while (Clock::now() < until) {
      {
        std::lock_guard lock(mutex_);
        for (const auto& seen : seen_) {
          if (wanted(seen)) return true;
        }
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  std::string Log() { return testing::Logged(logFile_); }
  ChildSource& Source() { return source_; }

 private:
  std::FILE* logFile_;
  Logger log_;
  std::mutex mutex_;
  std::vector<Observation> seen_;
  ChildSource source_;
  std::thread thread_;
};

ChildSourceOptions ForLine(const Line& line, const std::string& name) {
  ChildSourceOptions options;
  options.name = name;
  options.program = CORVALE_UPS_TOOL;
  options.library = CORVALE_DRIVER_LIBRARY;
  options.setup = Setup{line.registry.Root().string(), line.Devices().string(), "COM1"};
  options.timing.lostAfter = 3s;
  options.silentLimit = 5s;
  return options;
}

bool Online(const Observation& seen) {
  return seen.polled == 1;
}

TEST(UpsChild, ObservesTheUpsAndTurnsItOffAndStopsPromptly) {
  Line line;
  Watched watched(ForLine(line, "left"), "left");
  ASSERT_TRUE(watched.WaitFor(Online, 10s)) << watched.Log();
  line.peer->SetStatus(0x0001 | 0x0004);  // on battery, low
  EXPECT_TRUE(watched.WaitFor([](const Observation& seen) { return seen.polled == 4; }, 5s));
  const auto latest = watched.Source().Latest();
  ASSERT_TRUE(latest);
  EXPECT_NE(latest->statusText.find("OnBatt"), std::string::npos) << latest->statusText;
  EXPECT_TRUE(latest->flags.onBattery);
  EXPECT_EQ(watched.Source().TurnOff(45), std::optional<bool>(true));
  EXPECT_EQ(line.peer->TurnOffDelays(), std::vector<std::uint32_t>{45});
  const long id = watched.Source().ChildId();
  ASSERT_GT(id, 0);
  EXPECT_LT(testing::ElapsedMs([&] { watched.Stop(); }), 2500);
  EXPECT_NE(kill(static_cast<pid_t>(id), 0), 0) << "the driver process outlives its source";
}

TEST(UpsChild, AKilledProcessStartsAgainAndTheUpsIsUnansweredMeanwhile) {
  Line line;
  Watched watched(ForLine(line, "left"), "left");
  ASSERT_TRUE(watched.WaitFor(Online, 10s)) << watched.Log();
  const long first = watched.Source().ChildId();
  const auto killedAt = Clock::now();
  ASSERT_EQ(kill(static_cast<pid_t>(first), SIGKILL), 0);
  EXPECT_TRUE(watched.WaitFor(
      [&](const Observation& seen) { return seen.when > killedAt && seen.polled == 8; }, 5s));
  EXPECT_TRUE(watched.WaitFor(
      [&](const Observation& seen) { return seen.when > killedAt + 500ms && Online(seen); }, 10s))
      << watched.Log();
  EXPECT_NE(watched.Source().ChildId(), first);
  EXPECT_NE(watched.Log().find("killed by signal 9"), std::string::npos) << watched.Log();
}

// A stand-in for the driver process that says `lines` after its greeting, then waits; each start
// is counted in a file beside it.
std::string FakeChild(const TemporaryDirectory& directory, const std::string& lines) {
  const auto path = directory.Path() / "fake-child";
  std::ofstream(path) << "#!/bin/sh\necho started >> '" << (directory.Path() / "starts").string()
                      << "'\necho 'corvale-ups-child 1'\n"
                      << lines << "\nexec sleep 60\n";
  chmod(path.c_str(), 0755);
  return path.string();
}

std::size_t Starts(const TemporaryDirectory& directory) {
  std::ifstream in(directory.Path() / "starts");
  std::size_t count = 0;
  for (std::string line; std::getline(in, line);) ++count;
  return count;
}

TEST(UpsChild, GarbageAnOversizeLineOrSilenceIsTheProcessFaultAndItIsKilled) {
  struct Case {
    const char* name;
    std::string lines;
    const char* logged;
  };
  const std::vector<Case> cases = {
      {"garbage", "echo 'obs 1 1 0 ok'; echo 'rm -rf /'", "not of the protocol"},
      {"oversize", "echo 'obs 1 1 0 ok'; head -c 100000 /dev/zero | tr '\\0' x",
       "longer than 512 bytes"},
      {"silent", "echo 'obs 1 1 0 ok'", "said nothing"},
      {"flood", "i=0; while [ $i -lt 100 ]; do echo 'log 3 hello'; i=$((i+1)); done",
       "floods the log"},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.name);
    TemporaryDirectory directory("corvale-child");
    ChildSourceOptions options;
    options.name = "fake";
    options.program = FakeChild(directory, each.lines);
    options.silentLimit = 2s;
    options.firstPause = 200ms;
    Watched watched(options, each.name);
    EXPECT_TRUE(watched.WaitFor([&](const Observation&) { return Starts(directory) >= 2; }, 8s))
        << watched.Log();
    watched.Stop();
    EXPECT_NE(watched.Log().find(each.logged), std::string::npos) << watched.Log();
  }
}

TEST(UpsChild, AProcessThatDoesNotSpeakThisVersionIsRefused) {
  TemporaryDirectory directory("corvale-child");
  const auto path = directory.Path() / "old-child";
  std::ofstream(path)
      << "#!/bin/sh\necho 'corvale-ups-child 2'\necho 'obs 1 1 0 x'\nexec sleep 60\n";
  chmod(path.c_str(), 0755);
  ChildSourceOptions options;
  options.name = "old";
  options.program = path.string();
  options.firstPause = 200ms;
  Watched watched(options, "old");
  std::this_thread::sleep_for(2500ms);
  watched.Stop();
  for (const auto& seen : watched.Seen()) EXPECT_EQ(seen.polled, 8u);
  EXPECT_NE(watched.Log().find("does not speak this version's protocol"), std::string::npos);
}

TEST(UpsChild, RefusesToRunWithoutTheServicesPipes) {
  const std::string tool = std::string(CORVALE_UPS_TOOL) + " ups-child --name x";
  // Input from a file; then pipes both ways, but the service's greeting never comes.
  for (const std::string& command :
       {tool + " < /dev/null 2>&1", "true | " + tool + " 2>&1 | cat"}) {
    std::FILE* run = popen(command.c_str(), "r");
    ASSERT_NE(run, nullptr);
    std::string said;
    for (int c; (c = std::fgetc(run)) != EOF;) said += static_cast<char>(c);
    pclose(run);
    EXPECT_TRUE(said.find("started by the service") != std::string::npos ||
                said.find("did not greet") != std::string::npos)
        << command << ": " << said;
    EXPECT_EQ(said.find("corvale-ups-child"), std::string::npos) << "it never greets back";
  }
}

TEST(UpsChild, AHungPortNeverSlowsTheOtherUpsPolls) {
  Line left, right;
  Watched leftWatch(ForLine(left, "left"), "left");
  Watched rightWatch(ForLine(right, "right"), "right");
  ASSERT_TRUE(leftWatch.WaitFor(Online, 10s));
  ASSERT_TRUE(rightWatch.WaitFor(Online, 10s));
  const auto hungAt = Clock::now();
  left.peer->SetFault(UpsPeer::Fault::kSilent);
  std::this_thread::sleep_for(8s);
  left.peer->SetFault(UpsPeer::Fault::kNone);
  const auto until = Clock::now();
  std::optional<Clock::time_point> previous;
  auto longest = Clock::duration::zero();
  for (const auto& seen : rightWatch.Seen()) {
    if (seen.when < hungAt || seen.when > until) continue;
    EXPECT_EQ(seen.polled, 1u);
    if (previous) longest = std::max(longest, seen.when - *previous);
    previous = seen.when;
  }
  EXPECT_LT(longest, 2s);
  EXPECT_TRUE(leftWatch.WaitFor(
      [&](const Observation& seen) { return seen.when > hungAt && seen.polled == 8; }, 1s));
}

}  // namespace
}  // namespace corvale::host
