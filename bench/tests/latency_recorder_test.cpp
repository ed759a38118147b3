#include "bench/latency_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace tally_bench {
namespace {

using std::chrono::nanoseconds;

TEST(LatencyRecorderTest, NearestRankPercentilesOfUnorderedSamples) {
  std::vector<int> values(100);
  for (int i = 0; i < 100; ++i) values[i] = i + 1;
  std::shuffle(values.begin(), values.end(), std::mt19937(7));
  LatencyRecorder recorder;
  for (int v : values) recorder.Add(nanoseconds(v));

  struct Case {
    double percent;
    long expected;
  };
  for (Case c : {Case{50, 50}, Case{90, 90}, Case{99, 99}, Case{99.9, 100}, Case{100, 100},
                 Case{0.5, 1}}) {
    EXPECT_EQ(recorder.Percentile(c.percent).count(), c.expected) << c.percent;
  }
  EXPECT_EQ(recorder.Max().count(), 100);
  EXPECT_EQ(recorder.Count(), 100u);
}

TEST(LatencyRecorderTest, SmallSetsRoundUp) {
  LatencyRecorder recorder;
  for (int v : {30, 10, 20}) recorder.Add(nanoseconds(v));
  EXPECT_EQ(recorder.Percentile(50).count(), 20);  // rank ceil(1.5) = 2
  EXPECT_EQ(recorder.Percentile(34).count(), 20);
  EXPECT_EQ(recorder.Percentile(33).count(), 10);
  recorder.Add(nanoseconds(5));  // adding after a query re-sorts
  EXPECT_EQ(recorder.Percentile(25).count(), 5);
  EXPECT_EQ(recorder.Max().count(), 30);
}

}  // namespace
}  // namespace tally_bench
