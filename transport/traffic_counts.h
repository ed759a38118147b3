#pragma once

// Accepted connections and the time from accept to reply written, counted by
// the transport and read by the service for its metrics.
//
// Threads: written on the server thread, read from any thread. Relaxed
// atomics: figures for people, not for synchronisation, so a reader may see
// a count and its buckets a request apart.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace norla_server {

class KTrafficCounts {
 public:
  // Upper bounds of the duration buckets; a last, unbounded one follows.
  static constexpr std::array<std::chrono::microseconds, 6> kBucketBounds = {
      std::chrono::microseconds(500),   std::chrono::microseconds(1000),
      std::chrono::microseconds(5000),  std::chrono::microseconds(25000),
      std::chrono::microseconds(100000), std::chrono::microseconds(1000000)};

  void AddConnection() { connections_.fetch_add(1, std::memory_order_relaxed); }
  void AddRequest(std::chrono::steady_clock::duration taken);

  std::uint64_t Connections() const { return connections_.load(std::memory_order_relaxed); }
  // Requests whose duration fell in bucket `index` alone (not cumulative);
  // index kBucketBounds.size() is the unbounded one.
  std::uint64_t Bucket(std::size_t index) const {
    return buckets_[index].load(std::memory_order_relaxed);
  }
  std::uint64_t SumMicroseconds() const { return sumMicros_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> connections_{0};
  std::array<std::atomic<std::uint64_t>, kBucketBounds.size() + 1> buckets_{};
  std::atomic<std::uint64_t> sumMicros_{0};
};

}  // namespace norla_server
