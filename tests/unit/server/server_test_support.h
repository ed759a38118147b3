#pragma once

// Shared by the service's tests: a sink that records event lines, an event
// handler that records notifications, a gate to hold a thread, request text,
// and a request handler on a settable clock whose lines go through the writer
// with a resolver that knows no names.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/event_log.h"
#include "server/event_log_writer.h"
#include "server/receive_packet_handler.h"
#include "transport/packet_cipher.h"

namespace server_test {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// Records the sink's lines while in scope. A line passed other than at
// priority 6 with "%s" is recorded as "BAD <format>", failing any comparison.
class ScopedLog {
 public:
  ScopedLog() : previous_(norla_server::sg_syslogFunc) {
    Clear();
    norla_server::sg_syslogFunc = &Sink;
  }
  ~ScopedLog() { norla_server::sg_syslogFunc = previous_; }
  static Strings Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  static void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  static bool WaitForCount(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return lines_.size() >= count; });
  }

 private:
  static void Sink(int priority, char const* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(mutex_);
    bool plain = priority == 6 && std::strcmp(format, "%s") == 0;
    lines_.push_back(plain ? text : std::string("BAD ") + format);
    changed_.notify_all();
  }
  norla_server::SyslogFunc previous_;
  static inline std::mutex mutex_;
  static inline std::condition_variable changed_;
  static inline Strings lines_;
};

// Holds the threads that Pass() it while closed; counts them.
class Gate {
 public:
  void Pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++passed_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  void Set(bool open) {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = open;
    changed_.notify_all();
  }
  bool WaitForPassed(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return passed_ >= count; });
  }
  int Passed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return passed_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int passed_ = 0;
  bool open_ = true;
};

// Records notifications as text, e.g. "CountUp u1 a2". OnLogin passes `gate`.
class Recorder : public INorlaEventHandler {
 public:
  void OnPing() override { Add("Ping"); }
  void OnLogin(char const* u, char const* a) override {
    gate.Pass();
    Add("Login", u, a);
  }
  void OnLogout(char const* u, char const* a, bool f) override {
    Add(f ? "Logout!" : "Logout", u, a);
  }
  void OnCountUp(char const* u, char const* a) override { Add("CountUp", u, a); }
  void OnCountDown(char const* u, char const* a) override { Add("CountDown", u, a); }
  void OnAlive(char const* u, char const* a) override { Add("Alive", u, a); }
  void OnKilled(char const* u) override { Add("Killed", u); }
  void OnConnect(char const* peer) override { Add("Connect", peer); }
  void OnConnectRefused(char const* peer) override { Add("Refused", peer); }
  Strings Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(events_);
  }
  Gate gate;

 private:
  void Add(std::string event, char const* first = nullptr, char const* second = nullptr) {
    for (char const* part : {first, second}) {
      if (part != nullptr) event += std::string(" ") + part;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  std::mutex mutex_;
  Strings events_;
};

constexpr std::time_t kNow = 1773144000;  // 2026-03-10 12:00:00 UTC

// Request text as clients write it; an empty `date` leaves the Date line out.
inline std::string RequestText(std::string const& command, std::string const& unique,
                               std::string const& app, std::string const& date = "",
                               std::string const& product = "P1") {
  std::string text = "NORLA " + command + " TALLYREQ1\r\nProductID: " + product +
                     "\r\nUniqueID: " + unique + "\r\nAppID: " + app + "\r\n";
  if (!date.empty()) text += "Date: " + date + "\r\n";
  return text + "Time: 12:00:00\r\n\r\n";
}

class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartWriter();
    handler_->SetClock([this] { return now_.load(); });
    handler_->SetEventHandler(&events_);
  }
  void TearDown() override {
    handler_.reset();
    norla_server::EventLogWriter::ReleaseShared();
  }
  // Every line so far (the writer is drained and started again).
  Strings Lines() {
    norla_server::EventLogWriter::ReleaseShared();
    StartWriter();
    return ScopedLog::Lines();
  }
  Strings TakeLines() {
    Strings lines = Lines();
    ScopedLog::Clear();
    return lines;
  }
  int Send(std::string const& command, std::string const& unique, std::string const& app,
           std::string const& peer = "192.0.2.1") {
    std::string text = RequestText(command, unique, app);
    return handler_->ParsePacket(text, peer);
  }
  // Encrypts `text` into a body of `size` bytes (a multiple of 16), runs the
  // handler on it and returns the decrypted reply body.
  std::string Exchange(std::string const& text, std::size_t size,
                       std::string const& peer = "192.0.2.1") {
    std::vector<unsigned char> plain(size), body(size), reply(size);
    std::copy(text.begin(), text.begin() + std::min(text.size(), size), plain.begin());
    unsigned char key[16], iv[16];
    norla::NorlaDecodeEncryptionKey(key, iv);
    EXPECT_TRUE(norla::NorlaAESExecute(plain.data(), body.data(), size, key, iv, true, true));
    EXPECT_TRUE((*handler_)(body.data(), size, peer));
    EXPECT_TRUE(norla::NorlaAESExecute(body.data(), reply.data(), size, key, iv, false, true));
    return std::string(reply.begin(), reply.end());
  }

  std::atomic<std::time_t> now_{kNow};
  Recorder events_;
  ScopedLog log_;
  std::unique_ptr<norla_server::KReceivePacketHandler> handler_ =
      std::make_unique<norla_server::KReceivePacketHandler>("P1/P2");

 private:
  static void StartWriter() {
    norla_server::EventLogWriterOptions options;
    options.lookup = [](std::string const&) { return std::string(); };
    norla_server::EventLogWriter::AcquireShared(options);
  }
};

}  // namespace server_test
