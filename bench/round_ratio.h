// One ratio out of many interleaved rounds of two measurements (the driver and the bare floor),
// with its confidence interval and a verdict that noise cannot fake: an interval wider than the
// target, or a driver "faster" than the floor it is built on, is inconclusive rather than met.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace corvale::bench {

struct RatioSummary {
  double median = 0;
  double low = 0;  // the median's 95 % confidence interval
  double high = 0;
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
// (1.05 for 5 %). The interval comes from the order statistics around the median (rank
// n/2 +- 0.98 sqrt(n)), so it narrows as rounds are added, whatever the rounds' own spread.
inline RatioSummary SummariseRatios(std::vector<double> ratios, double target) {
  std::sort(ratios.begin(), ratios.end());
  const double n = static_cast<double>(ratios.size());
  const double reach = 0.98 * std::sqrt(n);
  const auto rank = [&](double at) {
    return ratios[static_cast<std::size_t>(std::clamp(at, 0.0, n - 1))];
  };
  RatioSummary summary{
      Quantile(ratios, 0.5), rank(std::floor(n / 2 - reach)), rank(std::ceil(n / 2 + reach)), {}};
  if (summary.high - summary.low > target - 1.0) {
    summary.verdict = "inconclusive: the interval is wider than the target";
  } else if (summary.median < 1.0) {
    summary.verdict = "inconclusive: below the bare floor, so machine noise";
  } else if (summary.high <= target) {
    summary.verdict = "met";
  } else if (summary.low > target) {
    summary.verdict = "not met";
  } else {
    summary.verdict = "inconclusive: the interval straddles the target";
  }
  return summary;
}

// Prints NAME_ratio, NAME_ratio_spread and NAME_ratio_verdict for bench/run.sh.
inline void PrintRatio(const char* name, const std::vector<double>& ratios, double target) {
  const RatioSummary summary = SummariseRatios(ratios, target);
  std::printf("%s_ratio %.3f\n", name, summary.median);
  std::printf("%s_ratio_spread %.3f-%.3f (95 %% confidence interval of the median, %zu rounds)\n",
              name, summary.low, summary.high, ratios.size());
  std::printf("%s_ratio_verdict %s\n", name, summary.verdict.c_str());
}

}  // namespace corvale::bench
