#pragma once

// Per-minute samples of the client count, total and by AppID, for the last
// 24 hours. The sweep offers a sample every few seconds; one is kept per
// minute of the monotonic clock, so a step of the wall clock neither skips
// nor repeats a minute. The wall clock only stamps samples for display.
//
// Locks: mutex_ guards the samples; it is held only to copy them in or out
// and never around the clocks or a caller's code.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/clocks.h"
#include "base/mutex.h"

namespace norla_server {

class UsageHistory {
 public:
  using AppCounts = std::vector<std::pair<std::string, std::size_t>>;

  using Clocks = tally::Clocks;

  struct Sample {
    std::time_t time = 0;
    std::int64_t minute = 0;  // of the monotonic clock
    std::size_t clients = 0;
    AppCounts byApp;  // the kTopApps largest, then "other" when any are left
  };

  static constexpr std::size_t kMinutes = 1440;
  static constexpr std::size_t kTopApps = 100;

  explicit UsageHistory(Clocks clocks = Clocks());

  // True when no sample was taken in the current minute: the caller then
  // gathers the counts (outside any lock of ours) and calls Record.
  bool Due() const EXCLUDES(mutex_);
  // Keeps one sample for the current minute; a second in the same minute is
  // ignored. `byApp` may hold every AppID: it is cut to the top here.
  void Record(std::size_t clients, AppCounts byApp) EXCLUDES(mutex_);
  // The samples of the last `minutes` minutes, oldest first.
  std::vector<Sample> Last(std::size_t minutes) const EXCLUDES(mutex_);

  // The `top` largest counts (ties by AppID), largest first, and the rest
  // summed as "other"; an AppID named "other" is summed there too.
  static AppCounts Top(AppCounts counts, std::size_t top);

 private:
  std::int64_t Minute() const;

  Clocks const clocks_;
  mutable tally::Mutex mutex_;
  std::deque<Sample> samples_ GUARDED_BY(mutex_);
};

}  // namespace norla_server
