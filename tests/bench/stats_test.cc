#include "bench/stats.h"

#include <gtest/gtest.h>

namespace kestro::bench {
namespace {

TEST(BenchStats, SummarizesUnsortedSamplesOfOddAndEvenCount) {
  Summary odd = summarize({30, 10, 20});
  EXPECT_EQ(odd.n, 3u);
  EXPECT_EQ(odd.median, 20);
  EXPECT_EQ(odd.min, 10);
  EXPECT_EQ(odd.max, 30);

  // An even count has no middle sample: the median is the mean of the two.
  Summary even = summarize({40, 10, 30, 20});
  EXPECT_EQ(even.n, 4u);
  EXPECT_EQ(even.median, 25);
  EXPECT_EQ(even.min, 10);
  EXPECT_EQ(even.max, 40);

  Summary none = summarize({});
  EXPECT_EQ(none.n, 0u);
  EXPECT_EQ(none.median, 0);
}

TEST(BenchStats, PrintsMedianAndRangeAsTheTableShowsThem) {
  EXPECT_EQ(mmm({8274.4, 9425.2, 8695.0}), "8695 [8274-9425]");
  EXPECT_EQ(mmm({0.291, 0.27, 0.304}, 2), "0.29 [0.27-0.30]");
  EXPECT_EQ(mmm({710.21}, 1), "710.2 (1 run)");
  EXPECT_EQ(mmm({}), "-");
}

TEST(BenchStats, ChoosesTheFewestJobsWithinTheSlackOfTheFastest) {
  struct Case {
    std::map<int, double> wall;
    int chosen;
  };
  const std::vector<Case> cases = {
      {{{1, 9800}, {4, 7800}, {8, 7500}, {13, 7600}}, 4},  // 7800 <= 1.05 x 7500
      {{{1, 9800}, {4, 8000}, {8, 7500}, {13, 7600}}, 8},  // 8000 > 7875; 13 is slower
      {{{1, 4000}, {4, 4150}, {8, 3990}}, 1},              // the fewest also nearly fastest
      {{{13, 100}}, 13},
      {{}, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(smallest_within(c.wall, 0.05), c.chosen);
}

}  // namespace
}  // namespace kestro::bench
