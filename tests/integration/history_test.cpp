// The power-event history and the HTTP endpoint's reports on their own: the file's lines, its
// bounds and its failures, and the Prometheus and JSON texts.
#include "host/history.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "host/http/reports.h"
#include "host/http/routes.h"
#include "simulator/temporary_directory.h"
#include "tests/support/captured_log.h"

namespace {

namespace fs = std::filesystem;
using corvale::host::HistoryRecord;
using corvale::host::HistoryWriter;
using corvale::host::Logger;
using corvale::host::ParseTimestamp;
using corvale::host::ReadHistory;
using corvale::testing::Count;
using corvale::testing::Logged;
using namespace std::chrono_literals;
using SystemTime = std::chrono::system_clock::time_point;

SystemTime At(const std::string& text) {
  return ParseTimestamp(text).value();
}

TEST(HistoryTest, TimestampsAreReadAsRfc3339AndNothingElse) {
  EXPECT_EQ(At("1970-01-01T00:00:00Z").time_since_epoch(), SystemTime::duration::zero());
  EXPECT_EQ(At("2026-12-08T12:00:00Z"), At("2026-12-08T13:30:00+01:30"));
  EXPECT_EQ(At("2026-12-08T12:00:00.250Z") - At("2026-12-08T12:00:00Z"), 250ms);
  EXPECT_EQ(At("2024-03-01T00:00:00Z") - At("2024-02-28T00:00:00Z"), 48h) << "a leap year";
  for (const char* bad :
       {"", "yesterday", "2026-12-08", "2026-12-08 12:00:00Z", "2026-13-01T00:00:00Z",
        "2026-12-08T12:00:00", "2026-12-08T12:00:00.Z", "2999-01-01T00:00:00Z",
        "2026-12-08T12:00:00Zjunk", "2026-02-30T00:00:00Z"}) {
    EXPECT_FALSE(ParseTimestamp(bad)) << bad;
  }
}

TEST(HistoryTest, TornAndForeignLinesAreSkippedAndPeriodsAcrossRestartsGetTheirLength) {
  corvale::TemporaryDirectory directory("corvale-history");
  const fs::path file = directory.Path() / "history.jsonl";
  std::ofstream(file)
      << R"({"time":"2026-12-08T12:00:00.000Z","event":"on-battery","ups":"u","state":2,"message":"m"})"
      << "\n"
      << R"({"time":"2026-12-08T12:00:05.000Z","event":"service-stopped","ups":"u","state":0,"message":"stopped"})"
      << "\n"
      << "not json\n{\"event\":\"online\"}\n"
      << R"({"time":"2026-12-08T12:01:00.000Z","event":"service-started","ups":"u","state":0,"message":"s"})"
      << "\n"
      << R"({"time":"2026-12-08T12:02:30.000Z","event":"online","ups":"u","state":1,"message":"back"})"
      << "\n"
      << R"({"time":"2026-12-08T12:03:00.000Z","event":"on-batt)";  // cut by the power
  const auto records = ReadHistory(file.string());
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[3].event, "online");
  ASSERT_TRUE(records[3].onBatterySeconds);
  EXPECT_DOUBLE_EQ(*records[3].onBatterySeconds, 150.0);
  const auto recent = ReadHistory(file.string(), At("2026-12-08T12:01:00Z"));
  EXPECT_EQ(recent.size(), 2u) << "from that time on";
}

TEST(HistoryTest, TheWriterRecordsPeriodsRotatesAndKeepsTwoFiles) {
  corvale::TemporaryDirectory directory("corvale-history");
  const std::string file = (directory.Path() / "history.jsonl").string();
  std::FILE* log = std::tmpfile();
  Logger logger(false, log);
  {
    HistoryWriter writer(file, logger, 4096);
    const SystemTime start = At("2026-12-08T12:00:00Z");
    writer.Append({start, "on-battery", "u", 2, "power failure", {}});
    writer.Append({start + 90s, "online", "u", 1, "back", {}});
    for (int i = 0; i < 100; ++i) {
      writer.Append({start + 100s + std::chrono::seconds(i), "online", "u", 1, "again", {}});
    }
  }  // written out before it goes
  EXPECT_LE(fs::file_size(file), 4096u);
  EXPECT_LE(fs::file_size(file + ".1"), 4096u);
  EXPECT_FALSE(fs::exists(file + ".2"));
  const auto records = ReadHistory(file);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().message, "again");
  EXPECT_LT(records.size(), 102u) << "the oldest went with the rotation";
  std::ifstream in(file);
  std::string first;
  std::getline(in, first);
  EXPECT_TRUE(corvale::host::ParseHistoryLine(first)) << "each file starts with a whole line";
  EXPECT_EQ(Logged(log), "");
}

TEST(HistoryTest, AnUnwritableDiskIsLoggedOnceAndNothingElseStops) {
  std::FILE* log = std::tmpfile();
  Logger logger(false, log);
  corvale::TemporaryDirectory directory("corvale-history");
  const fs::path file = directory.Path() / "history.jsonl";
  {
    // /dev/full takes the open and refuses every write with ENOSPC, as a full disk does.
    HistoryWriter writer("/dev/full", logger);
    for (int i = 0; i < 50; ++i) writer.Append({SystemTime(), "online", "u", 1, "m", {}});
    writer.Flush();
  }
  const std::string logged = Logged(log);
  EXPECT_EQ(Count(logged, "cannot write the history /dev/full"), 1u) << logged;
  EXPECT_NE(logged.find("No space left on device"), std::string::npos) << logged;

  // A folder that is not there (a file system not mounted yet), and then is.
  std::FILE* log2 = std::tmpfile();
  Logger logger2(false, log2);
  const fs::path later = directory.Path() / "later/history.jsonl";
  HistoryWriter writer(later.string(), logger2);
  writer.Append({SystemTime(), "online", "u", 1, "lost", {}});
  writer.Flush();
  fs::create_directories(later.parent_path());
  writer.Append({SystemTime(), "online", "u", 1, "kept", {}});
  writer.Flush();
  const std::string said = Logged(log2);
  EXPECT_EQ(Count(said, "cannot write the history"), 1u) << said;
  EXPECT_NE(said.find("is written again"), std::string::npos) << said;
  ASSERT_EQ(ReadHistory(later.string()).size(), 1u);
  EXPECT_EQ(ReadHistory(later.string())[0].message, "kept");
}

TEST(ReportsTest, MetricsEscapeLabelsAndJsonCarriesTheSnapshot) {
  corvale::host::StatusSnapshot snapshot;
  snapshot.ups = "odd \"name\"\\x";
  snapshot.state = 2;
  snapshot.communicating = true;
  snapshot.lastValidPoll = At("2026-12-08T12:00:00Z");
  snapshot.now = At("2026-12-08T12:00:30Z");
  snapshot.onBatterySince = At("2026-12-08T12:00:00Z");
  snapshot.flags.onBattery = true;
  snapshot.eventsByKind["on-battery"] = 1;
  snapshot.sharing.loggedIn = {"192.0.2.7"};
  const std::string metrics = corvale::host::http::Metrics(snapshot, "1.0");
  EXPECT_NE(metrics.find("corvale_ups_state{ups=\"odd \\\"name\\\"\\\\x\"} 2\n"), std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("corvale_ups_on_battery_seconds{ups=\"odd \\\"name\\\"\\\\x\"} 30.000\n"),
            std::string::npos)
      << metrics;
  EXPECT_NE(
      metrics.find("corvale_ups_last_valid_poll_timestamp_seconds{ups=\"odd \\\"name\\\"\\\\x\"} "
                   "1796731200.000\n"),
      std::string::npos)
      << metrics;
  const auto json = nlohmann::json::parse(corvale::host::http::StatusJson(snapshot, "1.0"));
  EXPECT_EQ(json["ups"], snapshot.ups);
  EXPECT_EQ(json["state_text"], "on battery");
  EXPECT_EQ(json["on_battery_seconds"], 30.0);
  EXPECT_EQ(json["nut"]["logins"][0], "192.0.2.7");
  EXPECT_EQ(json["flags"]["OB"], true);
  EXPECT_EQ(json["flags"]["OL"], false);
}

TEST(ReportsTest, ThePageNeedsNothingFromElsewhere) {
  const std::string page = corvale::host::http::kStatusPage;
  for (const char* outside : {"http://", "https://", "//cdn", "@import", "src=\""}) {
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  }
  EXPECT_NE(page.find("name=\"viewport\""), std::string::npos) << "readable on a phone";
  EXPECT_NE(page.find("Service unreachable"), std::string::npos);
}

}  // namespace
