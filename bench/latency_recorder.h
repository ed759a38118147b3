#pragma once

// Latency samples of one run and their order statistics.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tally_bench {

class LatencyRecorder {
 public:
  void Add(std::chrono::nanoseconds sample);
  void Reserve(std::size_t count) { samples_.reserve(count); }
  std::size_t Count() const { return samples_.size(); }

  // Nearest-rank percentile: the smallest sample that at least `percent` of
  // the samples do not exceed (0 < percent <= 100). Zero when empty.
  std::chrono::nanoseconds Percentile(double percent);
  std::chrono::nanoseconds Max();

 private:
  void Sort();

  std::vector<std::int64_t> samples_;
  bool sorted_ = true;
};

}  // namespace tally_bench
