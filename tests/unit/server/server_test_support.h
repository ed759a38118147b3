#pragma once

// Helpers shared by the service's tests: a log sink that records every event
// line, an event handler that records every notification, and request text.

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "server/event_handler.h"
#include "server/event_log.h"

namespace server_test {

// Records what reaches the sink. One process-wide instance, since the sink is
// a plain function pointer.
class LogCapture {
 public:
  struct Entry {
    int priority;
    std::string format;
    std::string line;
  };

  static LogCapture& Get() {
    static LogCapture capture;
    return capture;
  }

  static void Sink(int priority, char const* format, ...) {
    va_list args;
    va_start(args, format);
    char text[2048];
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    LogCapture& self = Get();
    {
      std::lock_guard<std::mutex> lock(self.mutex_);
      self.entries_.push_back(Entry{priority, format, text});
    }
    self.changed_.notify_all();
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
  }
  std::vector<Entry> Entries() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines;
    for (Entry const& entry : Entries()) lines.push_back(entry.line);
    return lines;
  }
  // True once `count` lines have arrived.
  bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return entries_.size() >= count; });
  }
  // True once a line equal to `line` has arrived.
  bool WaitForLine(std::string const& line, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      for (Entry const& entry : entries_) {
        if (entry.line == line) return true;
      }
      return false;
    });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Entry> entries_;
};

// Installs the capturing sink (emptied) for one test.
class ScopedLogCapture {
 public:
  ScopedLogCapture() : previous_(norla_server::sg_syslogFunc) {
    LogCapture::Get().Clear();
    norla_server::sg_syslogFunc = &LogCapture::Sink;
  }
  ~ScopedLogCapture() { norla_server::sg_syslogFunc = previous_; }
  LogCapture& operator*() { return LogCapture::Get(); }
  LogCapture* operator->() { return &LogCapture::Get(); }

 private:
  norla_server::SyslogFunc previous_;
};

// Records every notification as one text, e.g. "CountUp u1 a2".
class RecordingHandler : public INorlaEventHandler {
 public:
  void OnPing() override { Add("Ping"); }
  void OnLogin(char const* u, char const* a) override { Add("Login", u, a); }
  void OnLogout(char const* u, char const* a, bool flag) override {
    Add(flag ? "Logout+" : "Logout", u, a);
  }
  void OnCountUp(char const* u, char const* a) override { Add("CountUp", u, a); }
  void OnCountDown(char const* u, char const* a) override { Add("CountDown", u, a); }
  void OnAlive(char const* u, char const* a) override { Add("Alive", u, a); }
  void OnKilled(char const* u) override { Add("Killed", u); }
  void OnConnect(char const* peer) override { Add("Connect", peer); }
  void OnConnectRefused(char const* peer) override { Add("Refused", peer); }

  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> events;
    events.swap(events_);
    return events;
  }

 protected:
  virtual void Add(char const* what, char const* first = nullptr, char const* second = nullptr) {
    std::string event = what;
    if (first != nullptr) event += std::string(" ") + first;
    if (second != nullptr) event += std::string(" ") + second;
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> events_;
};

// 2026-03-10 12:00:00 UTC: the fixed "now" of the tests.
constexpr std::time_t kNow = 1773144000;
inline std::string const kToday = "2026/03/10";

// Request text as a client writes it, with "\r\n" line ends. An empty `date`
// leaves the Date line out.
inline std::string RequestText(std::string const& command, std::string const& product,
                               std::string const& unique, std::string const& app,
                               std::string const& date = kToday) {
  std::string text = "NORLA " + command + " TALLYREQ1\r\n";
  text += "ProductID: " + product + "\r\n";
  text += "UniqueID: " + unique + "\r\n";
  text += "AppID: " + app + "\r\n";
  if (!date.empty()) text += "Date: " + date + "\r\n";
  text += "Time: 12:00:00\r\n\r\n";
  return text;
}

}  // namespace server_test
