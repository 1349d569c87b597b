// Several UPSes on one machine, each driver in a process of its own: the poll cadence of one UPS
// while the other's port hangs (its UPS silent), and the service's memory (its own and its driver
// processes') with one, two and eight UPSes on simulators. Prints "name value".
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "bench/resident.h"
#include "host/child_source.h"
#include "tests/support/line_fixture.h"
#include "tests/support/subprocess.h"

namespace {

using corvale::bench::ResidentKiB;
using corvale::host::Clock;
using corvale::host::Observation;
using corvale::testing::Line;
using corvale::testing::Subprocess;
using namespace std::chrono_literals;

// One UPS watched through its driver process, with the times of its observations.
struct Watched {
  Watched(const Line& line, const std::string& tool, const std::string& library)
      : log(false, std::tmpfile()),
        source(Options(line, tool, library), log,
               [this](const Observation& seen) {
                 std::lock_guard lock(mutex);
                 if (seen.polled != 8) times.push_back(seen.when);
               }),
        thread([this] { source.Run(); }) {}
  ~Watched() {
    source.Stop();
    thread.join();
  }
  static corvale::host::ChildSourceOptions Options(const Line& line, const std::string& tool,
                                                   const std::string& library) {
    corvale::host::ChildSourceOptions options;
    options.name = "bench";
    options.program = tool;
    options.library = library;
    options.setup = {line.registry.Root().string(), line.Devices().string(), "COM1"};
    return options;
  }
  // The longest and the mean time between answered polls from `from` on.
  std::pair<double, double> Gaps(Clock::time_point from, Clock::time_point to) {
    std::lock_guard lock(mutex);
    std::vector<Clock::time_point> kept;
    for (const auto when : times) {
      if (when >= from && when <= to) kept.push_back(when);
    }
    double longest = 0, sum = 0;
    for (std::size_t i = 1; i < kept.size(); ++i) {
      const double gap = std::chrono::duration<double>(kept[i] - kept[i - 1]).count();
      longest = std::max(longest, gap);
      sum += gap;
    }
    return {longest, kept.size() > 1 ? sum / static_cast<double>(kept.size() - 1) : 0};
  }
  corvale::host::Logger log;
  std::mutex mutex;
  std::vector<Clock::time_point> times;
  corvale::host::ChildSource source;
  std::thread thread;
};

// The proportional set size of `pid` (each page shared by n processes counted 1/n), in KiB.
long ProportionalKiB(int pid) {
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  for (std::string line; std::getline(rollup, line);) {
    if (line.rfind("Pss:", 0) == 0) return std::stol(line.substr(4));
  }
  return 0;
}

// `size` of `pid` and of each process whose parent it is, added, in KiB.
long TreeKiB(int pid, long (*size)(int)) {
  long total = size(pid);
  Subprocess children({"pgrep", "-P", std::to_string(pid)});
  while (auto child = children.ReadLine(2s)) total += size(std::stoi(*child));
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: units_bench CORVALE_UPS LIBRARY [SECONDS]\n");
    return 2;
  }
  const std::string tool = argv[1], library = argv[2];
  const auto seconds = std::chrono::seconds(argc > 3 ? std::stoi(argv[3]) : 20);
  {
    Line left, right;
    Watched leftWatch(left, tool, library), rightWatch(right, tool, library);
    std::this_thread::sleep_for(5s);
    // Each side's UPS falls silent in turn (its driver's exchanges wait out their time limit).
    for (auto [hung, other, name] :
         {std::tuple{&left, &rightWatch, "right"}, std::tuple{&right, &leftWatch, "left"}}) {
      hung->peer->SetFault(corvale::UpsPeer::Fault::kSilent);
      const auto from = Clock::now();
      std::this_thread::sleep_for(seconds);
      const auto [longest, mean] = other->Gaps(from, Clock::now());
      hung->peer->SetFault(corvale::UpsPeer::Fault::kNone);
      std::printf("units_gap_max_s_%s %.3f\nunits_gap_mean_s_%s %.3f\n", name, longest, name, mean);
      std::this_thread::sleep_for(5s);
    }
  }
  for (const int count : {1, 2, 8}) {
    std::vector<std::unique_ptr<Line>> lines;
    corvale::TemporaryDirectory folder("corvale-bench");
    const auto config = folder.Path() / "several.toml";
    std::ofstream out(config);
    for (int i = 0; i < count; ++i) {
      lines.push_back(std::make_unique<Line>());
      // One device folder for the machine, the first's: COM1, COM2, ...
      const std::string port = "COM" + std::to_string(i + 1);
      if (i > 0) {
        std::filesystem::create_symlink(lines.back()->peer->DevicePath(),
                                        lines.front()->Devices() / port);
      }
      out << (count == 1 ? "[ups]" : "[[ups]]") << "\nname = \"ups" << i << "\"\nport = \"" << port
          << "\"\ndevices = \"" << lines.front()->Devices().string() << "\"\nregistry = \""
          << lines.back()->registry.Root().string() << "\"\nlibrary = \"" << library << "\"\n";
    }
    out << "[shutdown]\ncommand = \"true\"\nflag_file = \"" << (folder.Path() / "run/flag").string()
        << "\"\n[events]\nhistory = \"\"\n[http]\nlisten = []\n[network]\nlisten = []\n"
        << "[service]\ncontrol = \"\"\n";
    out.close();
    Subprocess service(
        {"/bin/sh", "-c", "exec \"$0\" service --config \"$1\" 2>&1", tool, config.string()});
    int online = 0;
    while (auto said = service.ReadLine(15s)) {
      if (said->find(": online") != std::string::npos && ++online == count) break;
    }
    std::this_thread::sleep_for(3s);
    const auto pid = Subprocess({"pgrep", "-n", "-f", config.string()}).ReadLine(5s).value_or("0");
    if (online < count || pid == "0") continue;  // the rows then read "not measured"
    const int servicePid = std::stoi(pid);
    std::printf("units_rss_service_kib_%d %ld\nunits_rss_total_kib_%d %ld\n", count,
                ResidentKiB(servicePid), count, TreeKiB(servicePid, ResidentKiB));
    std::printf("units_pss_total_kib_%d %ld\n", count, TreeKiB(servicePid, ProportionalKiB));
  }
  return 0;
}
