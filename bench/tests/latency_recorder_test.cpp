#include "bench/latency_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>

namespace tally_bench {
namespace {

using std::chrono::nanoseconds;

// Nearest rank, rounded up: the sorted sample at ceil(percent / 100 * count).
TEST(LatencyRecorderTest, NearestRankPercentilesOfUnorderedSamples) {
  std::vector<int> values(100);
  for (int i = 0; i < 100; ++i) values[i] = i + 1;
  std::shuffle(values.begin(), values.end(), std::mt19937(7));
  LatencyRecorder recorder, small;
  for (int v : values) recorder.Add(nanoseconds(v));
  for (int v : {30, 10, 20}) small.Add(nanoseconds(v));
  std::tuple<LatencyRecorder*, double, long> const cases[] = {
      {&recorder, 50, 50}, {&recorder, 90, 90}, {&recorder, 99.9, 100}, {&recorder, 100, 100},
      {&recorder, 0.5, 1}, {&small, 50, 20},    {&small, 34, 20},       {&small, 33, 10},
  };
  for (auto const& [samples, percent, expected] : cases) {
    EXPECT_EQ(samples->Percentile(percent).count(), expected) << percent;
  }
  EXPECT_EQ(recorder.Max().count(), 100);
  EXPECT_EQ(recorder.Count(), 100u);
  small.Add(nanoseconds(5));  // adding after a query re-sorts
  EXPECT_EQ(small.Percentile(25).count(), 5);
  EXPECT_EQ(small.Max().count(), 30);
}

}  // namespace
}  // namespace tally_bench
