// The figures of a series of samples, and how the report prints them.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace kestro::bench {

// The count, median, smallest and largest of a series; all zero when it is
// empty. The median of an even count is the mean of the middle two.
struct Summary {
  std::size_t n = 0;
  double median = 0, min = 0, max = 0;
};

// The summary of `values`, in any order.
Summary summarize(std::vector<double> values);
// The median of `values` (0 when empty).
double median(const std::vector<double>& values);
// `x` with `decimals` digits after the point.
std::string fmt(double x, int decimals = 0);
// "median [min-max]"; "median (1 run)" for one value, "-" for none.
std::string mmm(const std::vector<double>& values, int decimals = 0);
// The smallest key whose value is at most (1 + `slack`) times the smallest
// value (job count -> median wall time: the fewest jobs nearly as fast as the
// fastest); 0 when `values` is empty.
int smallest_within(const std::map<int, double>& values, double slack);

}  // namespace kestro::bench
