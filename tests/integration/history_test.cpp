// The power-event history and the HTTP endpoint's reports on their own: the file's lines, its
// bounds and its failures, and the Prometheus and JSON texts.
#include "host/history.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "host/config.h"
#include "host/http/reports.h"
#include "host/http/routes.h"
#include "host/notify/outbox.h"
#include "host/start_checks.h"
#include "host/status_board.h"
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
    // A file the system will not let grow takes the open and refuses every write, as a full disk
    // does (the limit is this process's; the log's file stays below it).
    const fs::path full = directory.Path() / "full.jsonl";
    std::ofstream(full) << std::string(8192, '\n');
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    const auto signalBefore = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = before;
    limited.rlim_cur = 8192;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    {
      HistoryWriter writer(full.string(), logger);
      for (int i = 0; i < 50; ++i) writer.Append({SystemTime(), "online", "u", 1, "m", {}});
      writer.Flush();
    }
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, signalBefore);
  }
  const std::string logged = Logged(log);
  EXPECT_EQ(Count(logged, "cannot write the history "), 1u) << logged;
  EXPECT_NE(logged.find("File too large"), std::string::npos) << logged;

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

// A history file made up as it is read: record i at a second after record i - 1, each line the
// same length, so that a file of any size costs no disk; it counts the bytes read.
class MadeUpHistory : public corvale::host::HistoryFile {
 public:
  MadeUpHistory(std::uint64_t records, std::uint64_t first, std::uint64_t& bytesRead)
      : records_(records), first_(first), bytesRead_(bytesRead), length_(Line(0).size()) {}
  static std::string Line(std::uint64_t number) {
    char message[32];
    std::snprintf(message, sizeof message, "record %012llu",
                  static_cast<unsigned long long>(number));
    return corvale::host::HistoryLine({At("2026-01-01T00:00:00Z") + std::chrono::seconds(number),
                                       "overload",
                                       "u",
                                       2,
                                       message,
                                       {}}) +
           "\n";
  }
  std::uint64_t Size() override { return records_ * length_; }
  std::size_t ReadAt(std::uint64_t offset, char* into, std::size_t count) override {
    std::size_t done = 0;
    while (done < count && offset + done < Size()) {
      const std::uint64_t at = offset + done;
      const std::string line = Line(first_ + at / length_);
      const std::size_t from = static_cast<std::size_t>(at % length_);
      const std::size_t now = std::min(count - done, line.size() - from);
      line.copy(into + done, now, from);
      done += now;
    }
    bytesRead_ += done;
    return done;
  }

 private:
  std::uint64_t records_, first_;
  std::uint64_t& bytesRead_;
  std::size_t length_;
};

TEST(HistoryTest, TheNewestRecordsAreReadFromTheEndWithWorkBoundedByTheLimit) {
  // 50 MiB in FILE, and as much again in FILE.1 before it.
  const std::uint64_t perFile = (50ull << 20) / MadeUpHistory::Line(0).size();
  std::uint64_t bytesRead = 0;
  const corvale::host::HistoryOpener open = [&](const std::string& file) {
    return std::make_unique<MadeUpHistory>(perFile, file == "h.1" ? 0 : perFile, bytesRead);
  };
  const auto message = [](std::uint64_t number) {
    const std::string line = MadeUpHistory::Line(number);
    return corvale::host::ParseHistoryLine(line.substr(0, line.size() - 1))->message;
  };
  const auto newest = corvale::host::ReadRecentHistory("h", std::nullopt, 100, open);
  ASSERT_EQ(newest.size(), 100u);
  EXPECT_EQ(newest.front().message, message(2 * perFile - 100)) << "oldest first";
  EXPECT_EQ(newest.back().message, message(2 * perFile - 1));
  EXPECT_LT(bytesRead, 256u << 10) << "read from the end, not the whole 100 MiB";

  // More than the cap is asked: the cap's worth, across both files.
  bytesRead = 0;
  const std::uint64_t cap = corvale::host::kMostRecentRecords;
  const auto most = corvale::host::ReadRecentHistory("h", std::nullopt, 9999, open);
  ASSERT_EQ(most.size(), cap);
  EXPECT_EQ(most.back().message, message(2 * perFile - 1));
  EXPECT_LT(bytesRead, 4u << 20);

  // `since` ends the reading where the records get older.
  bytesRead = 0;
  const auto since = corvale::host::ReadRecentHistory(
      "h", At("2026-01-01T00:00:00Z") + std::chrono::seconds(2 * perFile - 10), 100, open);
  ASSERT_EQ(since.size(), 10u);
  EXPECT_EQ(since.front().message, message(2 * perFile - 10));
  EXPECT_LT(bytesRead, 64u << 10);
}

TEST(HistoryTest, TheNewestRecordsOfRealFilesWithTheirPeriods) {
  corvale::TemporaryDirectory directory("corvale-history");
  const fs::path file = directory.Path() / "history.jsonl";
  const auto line = [](const char* time, const char* event, const char* message) {
    return corvale::host::HistoryLine({At(time), event, "u", 1, message, {}}) + "\n";
  };
  // The period begins in FILE.1, before a restart; its end in FILE carries no length.
  std::ofstream(file.string() + ".1")
      << line("2026-12-08T11:00:00Z", "online", "before")
      << line("2026-12-08T12:00:00Z", "on-battery", "failure") << "torn {\"ti";
  {
    std::ofstream out(file);
    out << line("2026-12-08T12:00:10Z", "service-started", "s") << "not json\n\n"
        << std::string(20000, 'x') << "\n";  // a foreign line too long to hold
    for (int i = 0; i < 20; ++i) out << line("2026-12-08T12:00:20Z", "overload", "o");
    out << line("2026-12-08T12:02:30Z", "online", "back") << R"({"time":"2026-12-08T12:03)";
  }
  const auto last = corvale::host::ReadRecentHistory(file.string(), std::nullopt, 1);
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last[0].message, "back");
  ASSERT_TRUE(last[0].onBatterySeconds) << "its on-battery is found before the restart";
  EXPECT_DOUBLE_EQ(*last[0].onBatterySeconds, 150.0);
  const auto all = corvale::host::ReadRecentHistory(file.string(), std::nullopt, 100);
  ASSERT_EQ(all.size(), 24u);
  EXPECT_EQ(all[0].message, "before");
  EXPECT_EQ(all[2].event, "service-started");
  EXPECT_EQ(all, corvale::host::ReadHistory(file.string())) << "the same as reading it all";
  EXPECT_TRUE(
      corvale::host::ReadRecentHistory((directory.Path() / "none").string(), std::nullopt, 100)
          .empty());

  // A period's beginning beyond the bound: no length rather than a wrong one.
  {
    std::ofstream out(file, std::ios::app);
    out << "\n" << line("2026-12-08T13:00:00Z", "on-battery", "again");
    for (int i = 0; i < 2000; ++i) out << line("2026-12-08T13:00:01Z", "overload", "o");
    out << line("2026-12-08T13:10:00Z", "online", "back again");
  }
  const auto far = corvale::host::ReadRecentHistory(file.string(), std::nullopt, 1);
  ASSERT_EQ(far.size(), 1u);
  EXPECT_EQ(far[0].message, "back again");
  EXPECT_FALSE(far[0].onBatterySeconds);
  EXPECT_TRUE(corvale::host::ReadHistory(file.string()).back().onBatterySeconds);
}

// What the service's account may put in its own folder, met by root's check-config and by the
// service: a FIFO is never waited on, a link never followed, and what is made is not for everyone.
TEST(HistoryTest, AFifoOrALinkInPlaceOfTheHistoryOrOutboxIsNeitherWaitedOnNorFollowed) {
  corvale::TemporaryDirectory directory("corvale-history");
  const std::string history = (directory.Path() / "history.jsonl").string();
  const std::string outbox = (directory.Path() / "outbox.jsonl").string();
  ASSERT_EQ(mkfifo(history.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(outbox.c_str(), 0600), 0);
  corvale::host::Config config;
  config.events.history = history;
  corvale::host::Config::Stage stage;
  stage.name = "early";
  stage.users = {"nas"};
  config.stages.push_back(stage);
  auto checked = std::async(std::launch::async, [&] {
    corvale::host::CheckBeforeStart(config, (directory.Path() / "none.toml").string());
    corvale::host::notify::Outbox reading(outbox, 10);
    return ReadHistory(history).size() + reading.Pending().size();
  });
  const bool ended = checked.wait_for(5s) == std::future_status::ready;
  EXPECT_TRUE(ended) << "check-config waits on a FIFO";
  // A writer lets a reader's open go, and closing it ends the read.
  for (int i = 0; i < 100 && checked.wait_for(100ms) != std::future_status::ready; ++i) {
    for (const auto& fifo : {history, outbox}) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
  }
  EXPECT_EQ(checked.get(), 0u);
  EXPECT_EQ(fs::status(outbox).type(), fs::file_type::regular) << "the outbox replaced it";
  EXPECT_EQ(fs::status(outbox).permissions() & fs::perms::all, fs::perms(0640));

  // A link to another file of root's: never read, never appended to.
  fs::remove(history);
  const fs::path roots = directory.Path() / "roots-file";
  std::ofstream(roots)
      << R"({"time":"2026-12-08T12:00:00.000Z","event":"on-battery","ups":"u","state":2,"message":"m"})"
      << "\n";
  const auto before = fs::file_size(roots);
  fs::create_symlink(roots, history);
  EXPECT_TRUE(ReadHistory(history).empty());
  EXPECT_TRUE(corvale::host::ReadRecentHistory(history, std::nullopt, 10).empty());
  std::FILE* log = std::tmpfile();
  Logger logger(false, log);
  {
    HistoryWriter writer(history, logger);
    writer.Append({At("2026-12-08T12:01:00Z"), "online", "u", 1, "back", {}});
  }
  EXPECT_EQ(fs::file_size(roots), before) << "appended through the link";
  EXPECT_NE(Logged(log).find("is a symbolic link, not a regular file"), std::string::npos)
      << Logged(log);
  // Made by the writer: for the service's account and group.
  fs::remove(history);
  {
    HistoryWriter writer(history, logger);
    writer.Append({At("2026-12-08T12:02:00Z"), "online", "u", 1, "back", {}});
  }
  EXPECT_EQ(fs::status(history).permissions() & fs::perms::all, fs::perms(0640));
  std::fclose(log);
}

TEST(HistoryTest, ARotationThatFailsIsLoggedAndTheRecordsStillWritten) {
  corvale::TemporaryDirectory directory("corvale-history");
  const std::string file = (directory.Path() / "history.jsonl").string();
  // A folder in FILE.1's place that cannot be removed: the rename cannot happen.
  fs::create_directories(file + ".1/in-the-way");
  std::FILE* log = std::tmpfile();
  Logger logger(false, log);
  {
    HistoryWriter writer(file, logger, 512);
    for (int i = 0; i < 20; ++i) writer.Append({SystemTime(), "online", "u", 1, "m", {}});
    writer.Flush();
    fs::remove_all(file + ".1");
    writer.Append({SystemTime(), "online", "u", 1, "rotated", {}});
  }
  const std::string logged = Logged(log);
  EXPECT_EQ(Count(logged, "cannot rotate the history " + file), 1u) << logged;
  EXPECT_NE(logged.find("the history " + file + " rotates again"), std::string::npos) << logged;
  EXPECT_EQ(ReadHistory(file).size(), 21u) << "nothing lost";
  EXPECT_TRUE(fs::is_regular_file(file + ".1"));
}

// A new file's name is on the disk only once its folder is synced: without that, a power cut can
// take the new file's first record (often "shutdown", just before the power goes) with it. Seen
// in the system calls of a writer that makes the file and rotates it twice.
TEST(HistoryTest, TheFolderIsSyncedAfterTheFileIsMadeAndAfterEachRotation) {
  if (const char* folder = std::getenv("CORVALE_HISTORY_FOLDER")) {  // the traced run
    Logger logger(false, std::tmpfile());
    HistoryWriter writer(std::string(folder) + "/history.jsonl", logger, 300);  // 3 records
    for (int i = 0; i < 7; ++i) writer.Append({SystemTime(), "online", "u", 1, "m", {}});
    return;
  }
  if (std::system("strace -qq -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "strace is missing or may not trace here";
  }
  corvale::TemporaryDirectory directory("corvale-history");
  const std::string folder = directory.Path().string();
  const std::string trace = folder + "/trace";
  // LeakSanitizer cannot work under a tracer.
  const std::string command =
      "ASAN_OPTIONS=detect_leaks=0 CORVALE_HISTORY_FOLDER=" + folder + " strace -f -qq -o " +
      trace + " -e trace=openat,fsync,rename,renameat,renameat2 /proc/" + std::to_string(getpid()) +
      "/exe --gtest_filter=HistoryTest.TheFolderIsSyncedAfterTheFileIsMadeAndAfterEachRotation" +
      " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  // The file made (C), moved aside (R), and its folder synced (S), in order. Descriptors are
  // reused: what each one is, is what it was last opened as.
  std::string steps;
  std::map<std::string, bool> isFolder;
  std::ifstream in(trace);
  const std::regex opened(R"re(^\d+ +openat\(AT_FDCWD, "([^"]*)", ([A-Z_|]*).* = (\d+)$)re");
  const std::regex synced(R"(fsync\((\d+)\) += 0)");
  for (std::string line; std::getline(in, line);) {
    std::smatch match;
    if (std::regex_search(line, match, opened)) {
      const bool folderOpened =
          match[1] == folder && match[2].str().find("O_DIRECTORY") != std::string::npos;
      isFolder[match[3]] = folderOpened;
      if (match[1] == folder + "/history.jsonl" &&
          match[2].str().find("O_CREAT") != std::string::npos) {
        steps += 'C';
      }
    } else if (line.find("rename") != std::string::npos &&
               line.find("history.jsonl.1\"") != std::string::npos && line.ends_with("= 0")) {
      steps += 'R';
    } else if (std::regex_search(line, match, synced) && isFolder[match[1]]) {
      steps += 'S';
    }
  }
  EXPECT_EQ(steps, "CSRSCSRSCS");
}

TEST(HistoryTest, EventsAskedOverHttpAreCappedAndCheckedAsBefore) {
  corvale::TemporaryDirectory directory("corvale-history");
  const std::string file = (directory.Path() / "history.jsonl").string();
  {
    std::ofstream out(file);
    for (int i = 0; i < 1500; ++i) {
      out << corvale::host::HistoryLine({At("2026-12-08T12:00:00Z") + std::chrono::seconds(i),
                                         "overload",
                                         "u",
                                         2,
                                         std::to_string(i),
                                         {}})
          << "\n";
    }
  }
  const corvale::host::StatusSnapshot snapshot;
  const auto answer = [&](const std::string& target) {
    return corvale::host::http::Answer(target, snapshot, file, "1.0");
  };
  const auto capped = nlohmann::json::parse(answer("/api/v1/events?limit=5000").body);
  ASSERT_EQ(capped.size(), corvale::host::kMostRecentRecords);
  EXPECT_EQ(capped.back()["message"], "1499");
  const auto some =
      nlohmann::json::parse(answer("/api/v1/events?since=2026-12-08T12%3A24%3A50Z&limit=3").body);
  ASSERT_EQ(some.size(), 3u);
  EXPECT_EQ(some[0]["message"], "1497");
  EXPECT_EQ(nlohmann::json::parse(answer("/api/v1/events").body).size(), 100u) << "the default";
  EXPECT_EQ(answer("/api/v1/events?limit=0").status, 400);
  EXPECT_EQ(answer("/api/v1/events?limit=10000").status, 400);
}

// Two UPSes in one history: each failure is measured on its own UPS's records, across a restart
// of the service that names both, and one UPS's return never ends the other's failure.
TEST(HistoryTest, EachUpsBatteryIsMeasuredFromItsOwnFailure) {
  const auto record = [](const char* time, const char* event, const char* ups) {
    return HistoryRecord{At(time), event, ups, 2, "", std::nullopt};
  };
  std::vector<HistoryRecord> records = {
      record("2026-12-08T12:00:00Z", "on-battery", "left"),
      record("2026-12-08T12:05:00Z", "on-battery", "right"),
      record("2026-12-08T12:06:00Z", "online", "left"),
      record("2026-12-08T12:07:00Z", "service-stopped", "left,right"),
      record("2026-12-08T12:08:00Z", "service-started", "left,right"),
      record("2026-12-08T12:09:00Z", "low-battery", "right"),
      record("2026-12-08T12:10:00Z", "online", "left"),
      record("2026-12-08T12:20:00Z", "on-battery", "left"),
      record("2026-12-08T12:27:00Z", "low-battery", "left")};
  corvale::host::BatteryPeriods periods;
  for (auto& each : records) periods.Mark(each);
  EXPECT_EQ(records[2].onBatterySeconds, 360.0) << "left's own failure";
  EXPECT_EQ(records[5].onBatterySeconds, 240.0) << "right's, from right's start";
  EXPECT_EQ(records[8].onBatterySeconds, 420.0) << "left's next, seen from its start";
  std::vector<HistoryRecord> right;
  for (const auto& each : records) {
    if (each.ups == "right") right.push_back(each);
  }
  const auto measures = corvale::host::BatteryMeasures(right);
  ASSERT_EQ(measures.size(), 1u);
  EXPECT_DOUBLE_EQ(measures[0].secondsToLow, 240.0);
}

// The battery's measure: each power failure's first low battery carries its time on battery, and
// the board keeps the last one for /metrics, seeded from the history until it measures its own.
TEST(HistoryTest, EachFailureThatRanTheBatteryLowIsMeasuredOnce) {
  const auto record = [](const char* time, const char* event) {
    return HistoryRecord{At(time), event, "u", 2, "", std::nullopt};
  };
  std::vector<HistoryRecord> records = {
      record("2026-12-08T12:00:00Z", "on-battery"),  record("2026-12-08T12:10:00Z", "low-battery"),
      record("2026-12-08T12:10:30Z", "low-battery"), record("2026-12-08T12:11:00Z", "online"),
      record("2026-12-09T08:00:00Z", "low-battery"),  // not on battery: no measure
      record("2026-12-09T09:00:00Z", "on-battery"),  record("2026-12-09T09:08:00Z", "low-battery")};
  corvale::host::BatteryPeriod period;
  for (auto& each : records) period.Mark(each);
  const auto measures = corvale::host::BatteryMeasures(records);
  ASSERT_EQ(measures.size(), 2u);
  EXPECT_DOUBLE_EQ(measures[0].secondsToLow, 600.0);
  EXPECT_DOUBLE_EQ(measures[1].secondsToLow, 480.0);
  EXPECT_FALSE(records[2].onBatterySeconds) << "a repeated low battery is no new measure";

  corvale::host::StatusBoard board("u");
  board.SetBatteryMeasures(measures);
  using corvale::host::EventKind;
  // Started into a power failure: when it began is unknown, so it measures nothing.
  board.OnEvent({EventKind::kOnBattery, 2, ""}, At("2026-12-09T09:00:00Z"));
  board.OnEvent({EventKind::kLowBattery, 4, ""}, At("2026-12-09T09:00:00Z"));
  board.OnEvent({EventKind::kOnline, 1, ""}, At("2026-12-09T09:30:00Z"));
  board.OnEvent({EventKind::kOnBattery, 2, ""}, At("2026-12-09T10:00:00Z"));
  board.OnEvent({EventKind::kLowBattery, 4, ""}, At("2026-12-09T10:07:00Z"));
  board.OnEvent({EventKind::kLowBattery, 4, ""}, At("2026-12-09T10:08:00Z"));
  board.SetBatteryMeasures(measures);  // the history's older figures never replace a new one
  const auto snapshot = board.Snapshot();
  EXPECT_NE(corvale::host::http::Metrics(snapshot, "1")
                .find("corvale_ups_battery_seconds_to_low{ups=\"u\"} 420.000\n"),
            std::string::npos);
  // The page draws the trend from the JSON: the history's measures, then this run's.
  const auto json = nlohmann::json::parse(corvale::host::http::StatusJson(snapshot, "1"));
  ASSERT_EQ(json["battery_measures"].size(), 3u);
  EXPECT_EQ(json["battery_measures"][0]["seconds_to_low"], 600.0);
  EXPECT_EQ(json["battery_measures"][2]["seconds_to_low"], 420.0);
  EXPECT_EQ(json["battery_measures"][2]["time"], "2026-12-09T10:07:00Z");
}

// A restart in the middle of a power failure keeps its start; a start into one measures nothing.
TEST(HistoryTest, TheBatterysMeasureSurvivesARestartAndIsNeverGuessed) {
  corvale::TemporaryDirectory directory("corvale-history");
  const std::string file = (directory.Path() / "history.jsonl").string();
  std::FILE* logFile = std::tmpfile();
  Logger log(false, logFile);
  const auto run = [&](std::vector<std::pair<const char*, const char*>> events) {
    HistoryWriter writer(file, log);
    for (const auto& [time, event] : events) {
      writer.Append({At(time), event, "u", 2, "", std::nullopt});
    }
  };
  run({{"2026-12-08T11:00:00Z", "service-started"},
       {"2026-12-08T11:00:01Z", "online"},
       {"2026-12-08T12:00:00Z", "on-battery"},
       {"2026-12-08T12:01:00Z", "service-stopped"}});
  run({{"2026-12-08T12:02:00Z", "service-started"},
       {"2026-12-08T12:02:01Z", "on-battery"},
       {"2026-12-08T12:10:00Z", "low-battery"},
       {"2026-12-08T12:11:00Z", "online"}});
  run({{"2026-12-09T08:00:00Z", "service-started"},
       {"2026-12-09T08:00:01Z", "on-battery"},
       {"2026-12-09T08:00:01Z", "low-battery"}});
  const auto measures = corvale::host::BatteryMeasures(ReadHistory(file));
  ASSERT_EQ(measures.size(), 1u);
  EXPECT_DOUBLE_EQ(measures[0].secondsToLow, 600.0) << "from the start before the restart";
  std::fclose(logFile);
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
