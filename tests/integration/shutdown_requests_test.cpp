// The service's side of the root helper's requests, and the helper's, in one process: what a
// request the helper never took becomes, and whose answer a request reads.
#include "host/shutdown_requests.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>

#include "simulator/temporary_directory.h"
#include "tests/support/captured_log.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace corvale::host;

class ShutdownRequestsTest : public ::testing::Test {
 protected:
  ShutdownRequestsTest() : file_(std::tmpfile()), log_(false, file_) {
    fs::create_directories(Requests());
    fs::create_directories(Results());
  }
  ~ShutdownRequestsTest() override { std::fclose(file_); }

  fs::path Requests() const { return directory_.Path() / "requests"; }
  fs::path Results() const { return directory_.Path() / "results"; }
  std::string Logged() { return corvale::testing::Messages(file_); }
  std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  // A helper whose handlers count what they are asked.
  int Helper() {
    RequestHandlers handlers;
    handlers.writeFlag = [this](std::uint64_t, std::uint64_t) { ++flags_; };
    handlers.removeFlag = [this] { --flags_; };
    handlers.shutdown = [this] {
      ++shutdowns_;
      return std::optional<ExitStatus>(ExitStatus{});
    };
    handlers.powerOff = handlers.shutdown;
    return HandleRequests(Requests().string(), Results().string(), handlers, log_);
  }

  corvale::TemporaryDirectory directory_;
  std::FILE* file_;
  Logger log_;
  int flags_ = 0, shutdowns_ = 0;
};

TEST_F(ShutdownRequestsTest, OnlyExactNamesAreRequests) {
  const RequestId id{1733667200123, 7};
  EXPECT_EQ(RequestFileName(id, RequestKind::kShutdown),
            "00000001733667200123-00000000000000000007-shutdown");
  const auto parsed = ParseRequestFileName(RequestFileName(id, RequestKind::kPing));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->id.instance, id.instance);
  EXPECT_EQ(parsed->id.sequence, 7u);
  EXPECT_EQ(parsed->kind, RequestKind::kPing);
  for (const char* name :
       {"1-shutdown", "00000001733667200123-shutdown", "1733667200123-7-shutdown",
        "00000001733667200123-00000000000000000007-shutdown.tmp",
        "00000001733667200123-00000000000000000007-",
        "+0000001733667200123-00000000000000000007-flag",
        "00000001733667200123-0000000000000000007-flag",
        ".00000001733667200123-00000000000000000007-flag"}) {
    EXPECT_FALSE(ParseRequestFileName(name)) << name;
  }
}

TEST_F(ShutdownRequestsTest, AFlagNamesItsUpsesByTheHelpersOwnOrderAndNothingElse) {
  const RequestId id{1733667200123, 7};
  const auto name = RequestFileName(id, RequestKind::kFlag, 0b101, 42);
  EXPECT_EQ(name,
            "00000001733667200123-00000000000000000007-flag-00000000000000000005-"
            "00000000000000000042");
  const auto parsed = ParseRequestFileName(name);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->kind, RequestKind::kFlag);
  EXPECT_EQ(parsed->units, 5u);
  EXPECT_EQ(parsed->upsList, 42u);
  EXPECT_EQ(ParseRequestFileName(RequestFileName(id, RequestKind::kFlag))->units, 0u);
  // Only a flag carries UPSes, in exactly 20 digits, never none.
  for (const char* bad : {"00000001733667200123-00000000000000000007-flag-5",
                          "00000001733667200123-00000000000000000007-flag-00000000000000000000",
                          "00000001733667200123-00000000000000000007-flag-0000000000000000000x",
                          "00000001733667200123-00000000000000000007-flag-000000000000000000050",
                          "00000001733667200123-00000000000000000007-shutdown-00000000000000000005",
                          "00000001733667200123-00000000000000000007-flag-",
                          // without the list its places belong to
                          "00000001733667200123-00000000000000000007-flag-00000000000000000005",
                          "00000001733667200123-00000000000000000007-flag-00000000000000000005-",
                          "00000001733667200123-00000000000000000007-flag-00000000000000000005-"
                          "0000000000000000004"}) {
    EXPECT_FALSE(ParseRequestFileName(bad)) << bad;
  }
}

TEST_F(ShutdownRequestsTest, ARequestTheHelperNeverTookIsWithdrawnAndNeverCarriedOut) {
  // Left by an earlier run: gone before anything is asked.
  std::ofstream(Requests() / RequestFileName({1, 1}, RequestKind::kShutdown));
  ShutdownRequestsOptions options;
  options.patience = 500ms;
  options.pingEvery = 1h;
  options.pingPatience = 300ms;
  std::promise<bool> readiness;
  options.readiness = [&readiness](bool ready) { readiness.set_value(ready); };
  ShutdownRequests requests(Requests().string(), Results().string(), log_, options);
  auto heard = readiness.get_future();
  ASSERT_EQ(heard.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(heard.get()) << "nobody answers the ping";
  EXPECT_FALSE(requests.Ready());
  EXPECT_TRUE(Names(Requests()).empty()) << "the ping is taken back, the old request dropped";

  std::promise<std::optional<ExitStatus>> ended;
  requests.AskAndWait(RequestKind::kShutdown, [&ended](const std::optional<ExitStatus>& status) {
    ended.set_value(status);
  });
  auto status = ended.get_future();
  ASSERT_EQ(status.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(status.get());
  const std::string logged = Logged();
  EXPECT_NE(logged.find("it has not answered since its last ping"), std::string::npos) << logged;
  EXPECT_NE(logged.find("never took the request to shutdown: it was not carried out"),
            std::string::npos)
      << logged;
  // The helper that comes back later finds nothing to carry out.
  EXPECT_EQ(Helper(), 0);
  EXPECT_EQ(shutdowns_, 0);
}

TEST_F(ShutdownRequestsTest, NoFolderToAskInMeansNotReady) {
  const fs::path blocked = directory_.Path() / "blocked";
  std::ofstream(blocked) << "a file where the folder should be";
  ShutdownRequestsOptions options;
  options.pingEvery = 1h;
  std::promise<bool> readiness;
  options.readiness = [&readiness](bool ready) { readiness.set_value(ready); };
  ShutdownRequests requests(blocked.string(), Results().string(), log_, options);
  auto heard = readiness.get_future();
  ASSERT_EQ(heard.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(heard.get());
  EXPECT_NE(Logged().find("cannot ask the privileged helper anything"), std::string::npos)
      << Logged();
}

TEST_F(ShutdownRequestsTest, AnswersFromBeforeTheClockWentBackAreNeverTakenForNewOnes) {
  // Answers of a run whose start lies an hour ahead of the clock now.
  const auto now =
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
  for (std::uint64_t sequence = 0; sequence < 4; ++sequence) {
    std::ofstream(Results() / RequestId{now + 3600000, sequence}.Text()) << "exit 0";
  }
  ShutdownRequestsOptions options;
  options.pingEvery = 1h;
  options.pingPatience = 1h;
  ShutdownRequests requests(Requests().string(), Results().string(), log_, options);
  std::promise<std::optional<ExitStatus>> ended;
  requests.AskAndWait(RequestKind::kShutdown, [&ended](const std::optional<ExitStatus>& status) {
    ended.set_value(status);
  });
  auto status = ended.get_future();
  EXPECT_EQ(status.wait_for(500ms), std::future_status::timeout) << "an old answer was read";
  // The helper carries it out; its answer, under the request's own name, is the one heard.
  std::this_thread::sleep_for(100ms);  // the ping, left at start, comes first
  EXPECT_EQ(Helper(), 2);
  EXPECT_EQ(shutdowns_, 1);
  ASSERT_EQ(status.wait_for(10s), std::future_status::ready);
  const auto got = status.get();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->code, 0);
  EXPECT_TRUE(requests.Ready());
}

}  // namespace
