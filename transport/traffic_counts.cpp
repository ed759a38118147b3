#include "transport/traffic_counts.h"

#include <algorithm>

namespace norla_server {

void KTrafficCounts::AddRequest(std::chrono::steady_clock::duration taken) {
  auto const micros = std::chrono::duration_cast<std::chrono::microseconds>(taken);
  std::size_t index = 0;
  while (index < kBucketBounds.size() && micros > kBucketBounds[index]) ++index;
  buckets_[index].fetch_add(1, std::memory_order_relaxed);
  sumMicros_.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(micros.count(), 0)),
                       std::memory_order_relaxed);
}

}  // namespace norla_server
