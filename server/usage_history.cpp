#include "server/usage_history.h"

#include <algorithm>
#include <chrono>

namespace norla_server {

namespace {

constexpr char kOther[] = "other";

}  // namespace

UsageHistory::UsageHistory(Clocks clocks) : clocks_(Clocks::WithDefaults(std::move(clocks))) {}

std::int64_t UsageHistory::Minute() const {
  return clocks_.monotonic() / 60;
}

bool UsageHistory::Due() const {
  std::int64_t const minute = Minute();
  tally::MutexLock lock(&mutex_);
  return samples_.empty() || samples_.back().minute != minute;
}

void UsageHistory::Record(std::size_t clients, AppCounts byApp) {
  Sample sample{clocks_.wall(), Minute(), clients, Top(std::move(byApp), kTopApps)};
  tally::MutexLock lock(&mutex_);
  if (!samples_.empty() && samples_.back().minute == sample.minute) return;
  samples_.push_back(std::move(sample));
  while (!samples_.empty() &&
         samples_.front().minute <= samples_.back().minute - static_cast<std::int64_t>(kMinutes)) {
    samples_.pop_front();
  }
}

std::vector<UsageHistory::Sample> UsageHistory::Last(std::size_t minutes) const {
  std::int64_t const since = Minute() - static_cast<std::int64_t>(minutes);
  tally::MutexLock lock(&mutex_);
  auto first = std::find_if(samples_.begin(), samples_.end(),
                            [since](Sample const& sample) { return sample.minute > since; });
  return {first, samples_.end()};
}

UsageHistory::AppCounts UsageHistory::Top(AppCounts counts, std::size_t top) {
  std::size_t other = 0;
  counts.erase(std::remove_if(counts.begin(), counts.end(),
                              [&other](auto const& count) {
                                if (count.first != kOther) return false;
                                other += count.second;
                                return true;
                              }),
               counts.end());
  auto const larger = [](auto const& a, auto const& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  };
  std::size_t const kept = std::min(top, counts.size());
  std::partial_sort(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(kept),
                    counts.end(), larger);
  for (std::size_t i = kept; i < counts.size(); ++i) other += counts[i].second;
  counts.resize(kept);
  if (other > 0) counts.emplace_back(kOther, other);
  return counts;
}

}  // namespace norla_server
