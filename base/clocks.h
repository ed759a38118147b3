#pragma once

// The two clocks of the service, injectable for tests. The wall clock only
// stamps what people read (first and last seen, dates of samples, the request
// date check); the monotonic one, in whole seconds, decides every duration,
// so a step of the system clock drops or keeps nobody.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <utility>

namespace tally {

inline std::int64_t MonotonicSeconds() {
  using namespace std::chrono;
  return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

struct Clocks {
  std::function<std::time_t()> wall;        // null: std::time
  std::function<std::int64_t()> monotonic;  // null: MonotonicSeconds

  // These clocks with the system's standing in for the null ones.
  static Clocks WithDefaults(Clocks clocks) {
    if (!clocks.wall) clocks.wall = [] { return std::time(nullptr); };
    if (!clocks.monotonic) clocks.monotonic = &MonotonicSeconds;
    return clocks;
  }
};

}  // namespace tally
