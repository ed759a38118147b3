#pragma once

// A request handler on a settable clock, with a recording event handler, the
// capturing sink, and the process-wide line writer on a resolver that knows
// no names (so no test waits on the system resolver).

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "server/event_log_writer.h"
#include "server/receive_packet_handler.h"
#include "tests/unit/server/server_test_support.h"
#include "transport/packet_cipher.h"

namespace server_test {

class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartWriter();
    handler_ = std::make_unique<norla_server::KReceivePacketHandler>("P1/P2");
    handler_->SetClock([this] { return now_.load(); });
    handler_->SetEventHandler(&events_);
  }
  void TearDown() override {
    handler_.reset();
    norla_server::EventLogWriter::ReleaseShared();
  }

  // Every line logged so far, in order (the writer is drained and restarted).
  std::vector<std::string> Lines() {
    norla_server::EventLogWriter::ReleaseShared();
    StartWriter();
    return capture_->Lines();
  }
  std::vector<std::string> TakeLines() {
    auto lines = Lines();
    capture_->Clear();
    return lines;
  }

  int Send(std::string const& command, std::string const& unique, std::string const& app,
           std::string const& peer = "192.0.2.1") {
    std::string text = RequestText(command, "P1", unique, app, "");
    return handler_->ParsePacket(text, peer);
  }

  // Encrypts `text` zero-padded to `size` bytes, hands it to the handler as a
  // body and returns the decrypted reply body (empty when the handler refused).
  std::string Exchange(std::string const& text, std::size_t size,
                       std::string const& peer = "192.0.2.1") {
    std::vector<unsigned char> plain(size, 0), body(size, 0);
    std::memcpy(plain.data(), text.data(), std::min(text.size(), size));
    unsigned char key[16], iv[16];
    norla::NorlaDecodeEncryptionKey(key, iv);
    std::size_t cipherSize = size & ~std::size_t{15};
    if (cipherSize > 0) {
      EXPECT_TRUE(norla::NorlaAESExecute(plain.data(), body.data(), cipherSize, key, iv, true,
                                         true));
    }
    if (!(*handler_)(body.data(), body.size(), peer)) return {};
    std::vector<unsigned char> reply(std::max<std::size_t>(cipherSize, 16), 0);
    if (cipherSize > 0) {
      EXPECT_TRUE(
          norla::NorlaAESExecute(body.data(), reply.data(), cipherSize, key, iv, false, true));
    }
    return std::string(reinterpret_cast<char const*>(reply.data()), cipherSize);
  }

  std::atomic<std::time_t> now_{kNow};
  RecordingHandler events_;
  ScopedLogCapture capture_;
  std::unique_ptr<norla_server::KReceivePacketHandler> handler_;

 private:
  void StartWriter() {
    norla_server::EventLogWriterOptions options;
    options.lookup = [](std::string const&) { return std::string(); };
    norla_server::EventLogWriter::AcquireShared(options);
  }
};

}  // namespace server_test
