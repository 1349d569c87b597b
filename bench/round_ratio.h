// One ratio out of many interleaved rounds of two measurements (the driver and the bare floor),
// with its spread and a verdict that noise cannot fake: a spread wider than the target, or a
// driver "faster" than the floor it is built on, is inconclusive rather than met.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace corvale::bench {

struct RatioSummary {
  double median = 0;
  double lowerQuartile = 0;
  double upperQuartile = 0;
  std::string verdict;
};

inline double Quantile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  const double at = q * static_cast<double>(values.size() - 1);
  const auto below = static_cast<std::size_t>(at);
  const std::size_t above = std::min(below + 1, values.size() - 1);
  return values[below] + (at - static_cast<double>(below)) * (values[above] - values[below]);
}

// `ratios` holds one driver/floor ratio per round; `target` is the most the driver may add
// (1.05 for 5 %).
inline RatioSummary SummariseRatios(const std::vector<double>& ratios, double target) {
  RatioSummary summary{Quantile(ratios, 0.5), Quantile(ratios, 0.25), Quantile(ratios, 0.75), {}};
  const double allowance = target - 1.0;
  if (summary.upperQuartile - summary.lowerQuartile > allowance) {
    summary.verdict = "inconclusive: the rounds spread wider than the target";
  } else if (summary.median < 1.0) {
    summary.verdict = "inconclusive: below the bare floor, so machine noise";
  } else if (summary.upperQuartile <= target) {
    summary.verdict = "met";
  } else if (summary.lowerQuartile > target) {
    summary.verdict = "not met";
  } else {
    summary.verdict = "inconclusive: the rounds straddle the target";
  }
  return summary;
}

// Prints NAME_ratio, NAME_ratio_spread and NAME_ratio_verdict for bench/run.sh.
inline void PrintRatio(const char* name, const std::vector<double>& ratios, double target) {
  const RatioSummary summary = SummariseRatios(ratios, target);
  std::printf("%s_ratio %.3f\n", name, summary.median);
  std::printf("%s_ratio_spread %.3f-%.3f (middle half of %zu rounds)\n", name,
              summary.lowerQuartile, summary.upperQuartile, ratios.size());
  std::printf("%s_ratio_verdict %s\n", name, summary.verdict.c_str());
}

}  // namespace corvale::bench
