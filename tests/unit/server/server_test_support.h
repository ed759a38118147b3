#pragma once

// Shared by the service's tests. Handler peers are not IP addresses, so never looked up.

#include <gtest/gtest.h>

#include <cstdarg>

#include "server/event_log.h"
#include "server/norla_server.h"
#include "server/receive_packet_handler.h"
#include "tests/support/journal.h"
#include "transport/packet_cipher.h"

namespace server_test {

using tally_test::Journal;
using tally_test::Strings;

// Records the sink's lines while in scope: "%s" lines at priority 6 as their
// text, at other priorities as "<priority> <text>", any other format as "BAD".
class ScopedLog : public Journal {
 public:
  ScopedLog() {
    NorlaLogFlush(10000);
    current_ = this;
    norla_server::sg_syslogFunc = &Sink;
  }
  ~ScopedLog() {
    NorlaLogFlush(10000);
    norla_server::sg_syslogFunc = nullptr;
  }
  // Every line posted so far.
  Strings Flushed() {
    NorlaLogFlush(10000);
    return Take();
  }
  static void Sink(int priority, char const* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = std::string(format) == "%s" ? va_arg(args, char const*) : "BAD";
    va_end(args);
    current_->Add(priority == 6 ? text : std::to_string(priority) + " " + text);
  }

 private:
  static inline ScopedLog* current_ = nullptr;
};

// Adds notifications to a journal as text, e.g. "CountUp u1 a2".
class Recorder : public INorlaEventHandler {
 public:
  explicit Recorder(Journal& to) : to_(to) {}
  void OnPing() override { to_.Add("Ping"); }
  void OnLogin(char const* u, char const* a) override { Note("Login", u, a); }
  void OnLogout(char const* u, char const* a, bool) override { Note("Logout", u, a); }
  void OnCountUp(char const* u, char const* a) override { Note("CountUp", u, a); }
  void OnCountDown(char const* u, char const* a) override { Note("CountDown", u, a); }
  void OnAlive(char const* u, char const* a) override { Note("Alive", u, a); }
  void OnKilled(char const* u) override { Note("Killed", u); }
  void OnConnect(char const* peer) override { Note("Connect", peer); }
  void OnConnectRefused(char const* peer) override { Note("Refused", peer); }

 private:
  void Note(std::string what, char const* u, char const* a = "") {
    to_.Add(what + " " + u + (*a != '\0' ? " " : "") + a);
  }
  Journal& to_;
};

// Products P1 and P2, a wall clock at 2026-03-10 12:00 UTC, a monotonic clock
// `mono_`, notifications and lines in `log_`.
class HandlerTest : public ::testing::Test {
 protected:
  HandlerTest() {
    handler_.SetClock([this] { return now_.load(); });
    handler_.SetMonotonicClock([this] { return mono_.load(); });
    handler_.SetEventHandler(&events_);
  }

  static unsigned char* Bytes(std::string& s) { return reinterpret_cast<unsigned char*>(&s[0]); }
  // `text` cut or zero-padded to `size` bytes (a multiple of 16), then encrypted or decrypted.
  static std::string Cipher(std::string text, std::size_t size, bool encrypt) {
    text.resize(size);
    std::string out(size, '\0');
    unsigned char key[16], iv[16];
    norla::NorlaDecodeEncryptionKey(key, iv);
    EXPECT_TRUE(norla::NorlaAESExecute(Bytes(text), Bytes(out), size, key, iv, encrypt, true));
    return out;
  }
  static std::string RequestText(std::string const& command, std::string const& unique,
                                 std::string const& app) {
    return "NORLA " + command + " TALLYREQ1\r\nProductID: P1\r\nUniqueID: " + unique +
           "\r\nAppID: " + app + "\r\n\r\n";
  }

  std::atomic<std::time_t> now_{1773144000};
  std::atomic<std::int64_t> mono_{1000};
  ScopedLog log_;
  Recorder events_{log_};
  norla_server::KReceivePacketHandler handler_{"/P1//P2"};
};

}  // namespace server_test
