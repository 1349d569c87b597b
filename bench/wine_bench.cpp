// CorvaleUPS.dll under Wine: an exchange through the DLL next to a bare WriteFile and ReadFile of
// the same bytes on the same COM port, and the CPU share of a long wait. Prints "name value".
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "bench/round_ratio.h"
#include "tests/support/line_fixture.h"
#include "tests/support/wine_host.h"

using corvale::testing::FindLine;
using corvale::testing::Words;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: wine_bench WINDOWS_BUILD SOURCE [EXCHANGES] [WAIT_SECONDS]\n");
    return 2;
  }
  const int count = argc > 3 ? std::atoi(argv[3]) : 1000;
  const int waitSeconds = argc > 4 ? std::atoi(argv[4]) : 10;
  corvale::UpsPeer peer;
  corvale::testing::WineHost host(argv[1], argv[2]);
  host.MapCom1(peer.DevicePath());
  // Raw and DLL rounds in turn, the order swapped every round (the DLL holds the port while it
  // runs, so each DLL round starts and stops it).
  constexpr int kRounds = 24;
  const std::string block = std::to_string(count / kRounds);
  std::vector<std::string> steps = {"registry:COM1", "load:" + host.DllPath()};
  for (int round = 0; round < kRounds; ++round) {
    const std::vector<std::string> raw = {"bench-raw:" + block};
    const std::vector<std::string> dll = {"init", "state", "bench-dll:" + block, "stop"};
    for (const auto* part : round % 2 == 0 ? std::vector{&raw, &dll} : std::vector{&dll, &raw}) {
      steps.insert(steps.end(), part->begin(), part->end());
    }
  }
  steps.insert(steps.end(), {"init", "state", "wait-cost:" + std::to_string(waitSeconds * 1000),
                             "stack", "stop"});
  int status = 0;
  const auto lines = host.Run(steps, {}, &status);
  host.UnmapCom1();
  if (status != 0) {
    for (const auto& line : lines) std::fprintf(stderr, "%s\n", line.c_str());
    return 1;
  }
  std::vector<double> raw, dll, rawCpu, dllCpu, ratios;
  for (int round = 0; round < kRounds; ++round) {
    const auto r = Words(FindLine(lines, "bench-raw", round));
    const auto d = Words(FindLine(lines, "bench-dll", round));
    raw.push_back(std::stod(r.at(1)));
    rawCpu.push_back(std::stod(r.at(2)));
    dll.push_back(std::stod(d.at(1)));
    dllCpu.push_back(std::stod(d.at(2)));
    ratios.push_back(dll.back() / raw.back());
  }
  const auto median = [](const std::vector<double>& values) {
    return corvale::bench::Quantile(values, 0.5);
  };
  if (std::getenv("CORVALE_BENCH_VERBOSE") != nullptr) {
    for (int round = 0; round < kRounds; ++round) {
      std::fprintf(stderr, "round %d: raw %.1f us, dll %.1f us\n", round, raw[round], dll[round]);
    }
  }
  std::printf("wine_exchange_raw_median_us %.1f\n", median(raw));
  std::printf("wine_exchange_dll_median_us %.1f\n", median(dll));
  corvale::bench::PrintRatio("wine_exchange", ratios, 1.05);
  std::printf("wine_exchange_raw_cpu_us %.1f\n", median(rawCpu));
  std::printf("wine_exchange_dll_cpu_us %.1f\n", median(dllCpu));
  const auto wait = Words(FindLine(lines, "wait-cost"));
  std::printf("wine_wait_seconds %s\n", wait.at(1).c_str());
  std::printf("wine_wait_cpu_percent %s\n", wait.at(2).c_str());
  const auto stack = Words(FindLine(lines, "stack"));
  std::printf("dll_stack_bytes %s/%s/%s/%s\n", stack.at(1).c_str(), stack.at(2).c_str(),
              stack.at(3).c_str(), stack.at(4).c_str());
  return 0;
}
