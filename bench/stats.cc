#include "bench/stats.h"

#include <algorithm>
#include <cstdio>

namespace kestro::bench {

Summary summarize(std::vector<double> values) {
  Summary s;
  s.n = values.size();
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.min = values.front();
  s.max = values.back();
  const std::size_t mid = values.size() / 2;
  s.median = values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
  return s;
}

double median(const std::vector<double>& values) { return summarize(values).median; }

std::string fmt(double x, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
  return buf;
}

std::string mmm(const std::vector<double>& values, int decimals) {
  if (values.empty()) return "-";
  Summary s = summarize(values);
  if (s.n == 1) return fmt(s.median, decimals) + " (1 run)";
  return fmt(s.median, decimals) + " [" + fmt(s.min, decimals) + "-" + fmt(s.max, decimals) + "]";
}

int smallest_within(const std::map<int, double>& values, double slack) {
  if (values.empty()) return 0;
  double best = values.begin()->second;
  for (const auto& [key, value] : values) best = std::min(best, value);
  for (const auto& [key, value] : values)
    if (value <= best * (1 + slack)) return key;
  return 0;
}

}  // namespace kestro::bench
