#pragma once

// A thread-safe list of entries that tests wait on instead of sleeping.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tally_test {

using Strings = std::vector<std::string>;

// While closed, Add holds its caller after recording.
class Journal {
 public:
  void Add(std::string entry) {
    std::unique_lock<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  void Set(bool open) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = open;
    changed_.notify_all();
  }
  // Waits up to 10 s for `count` entries, then takes them all.
  Strings Take(std::size_t count = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return entries_.size() >= count; });
    return std::exchange(entries_, {});
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Strings entries_;
  bool open_ = true;
};

}  // namespace tally_test
