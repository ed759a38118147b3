#include "bench/latency_recorder.h"

#include <algorithm>
#include <cmath>

namespace tally_bench {

void LatencyRecorder::Add(std::chrono::nanoseconds sample) {
  if (!samples_.empty() && sample.count() < samples_.back()) sorted_ = false;
  samples_.push_back(sample.count());
}

void LatencyRecorder::Sort() {
  if (!sorted_) std::sort(samples_.begin(), samples_.end());
  sorted_ = true;
}

std::chrono::nanoseconds LatencyRecorder::Percentile(double percent) {
  if (samples_.empty()) return std::chrono::nanoseconds(0);
  Sort();
  // The small slack keeps 90% of 10 samples at rank 9 despite rounding.
  double rank = std::ceil(percent * static_cast<double>(samples_.size()) / 100.0 - 1e-9);
  std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  index = std::min(index, samples_.size() - 1);
  return std::chrono::nanoseconds(samples_[index]);
}

std::chrono::nanoseconds LatencyRecorder::Max() {
  if (samples_.empty()) return std::chrono::nanoseconds(0);
  Sort();
  return std::chrono::nanoseconds(samples_.back());
}

}  // namespace tally_bench
