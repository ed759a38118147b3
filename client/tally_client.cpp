#include "client/tally_client.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "client/request_builder.h"
#include "transport/packet.h"
#include "transport/packet_cipher.h"

namespace tally {
namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

std::size_t RoundUpToBlock(std::size_t n) {
  return (n + 15) / 16 * 16;
}

// Connects, writes the frame and reads until the server shuts the connection
// down, all under one deadline.
class Exchange {
 public:
  Exchange(ClientOptions const& options, std::vector<unsigned char> const& frame)
      : options_(options), frame_(frame), socket_(io_) {}

  std::vector<unsigned char> Run(ExchangeError& error, std::string& detail) {
    tcp::resolver resolver(io_);
    error_code ec;
    auto endpoints = resolver.resolve(options_.host, std::to_string(options_.port),
                                      tcp::resolver::numeric_service, ec);
    if (ec) return Fail(ExchangeError::kResolve, ec, error, detail);

    if (!options_.bindAddress.empty()) {
      auto local = asio::ip::make_address(options_.bindAddress, ec);
      if (ec) return Fail(ExchangeError::kConnect, ec, error, detail);
      socket_.open(local.is_v4() ? tcp::v4() : tcp::v6(), ec);
      if (!ec) socket_.bind(tcp::endpoint(local, 0), ec);
      if (ec) return Fail(ExchangeError::kConnect, ec, error, detail);
      // Keep only the endpoints of the bound family.
      std::vector<tcp::endpoint> matching;
      for (auto const& entry : endpoints) {
        if (entry.endpoint().protocol() == socket_.local_endpoint().protocol()) {
          matching.push_back(entry.endpoint());
        }
      }
      if (matching.empty()) {
        detail = "no address of the bound family";
        error = ExchangeError::kConnect;
        return {};
      }
      socket_.async_connect(matching.front(), [this](error_code e) { OnConnect(e); });
    } else {
      asio::async_connect(socket_, endpoints,
                          [this](error_code e, tcp::endpoint const&) { OnConnect(e); });
    }

    io_.run_for(options_.timeout);
    if (!done_) {
      error_code ignored;
      socket_.close(ignored);
      error = stage_ == Stage::kConnecting ? ExchangeError::kConnect : ExchangeError::kTimeout;
      detail = stage_ == Stage::kConnecting ? "connection timed out" : "";
      return {};
    }
    if (result_ != ExchangeError::kNone) {
      error = result_;
      detail = detail_;
      return {};
    }
    error = ExchangeError::kNone;
    return received_;
  }

 private:
  enum class Stage { kConnecting, kWriting, kReading };

  std::vector<unsigned char> Fail(ExchangeError kind, error_code ec, ExchangeError& error,
                                  std::string& detail) {
    error = kind;
    detail = ec.message();
    return {};
  }

  void Finish(ExchangeError kind, error_code ec) {
    result_ = kind;
    if (ec) detail_ = ec.message();
    done_ = true;
  }

  void OnConnect(error_code ec) {
    if (ec) return Finish(ExchangeError::kConnect, ec);
    stage_ = Stage::kWriting;
    asio::async_write(socket_, asio::buffer(frame_),
                      [this](error_code e, std::size_t) { OnWrite(e); });
  }

  void OnWrite(error_code ec) {
    if (ec) return Finish(ExchangeError::kSend, ec);
    stage_ = Stage::kReading;
    ReadMore();
  }

  void ReadMore() {
    socket_.async_read_some(asio::buffer(chunk_), [this](error_code e, std::size_t n) {
      received_.insert(received_.end(), chunk_, chunk_ + n);
      if (e == asio::error::eof || e == asio::error::connection_reset) {
        Finish(received_.empty() ? ExchangeError::kNoReply : ExchangeError::kNone, {});
      } else if (e) {
        Finish(ExchangeError::kNoReply, e);
      } else {
        ReadMore();
      }
    });
  }

  ClientOptions const& options_;
  std::vector<unsigned char> const& frame_;
  asio::io_context io_;
  tcp::socket socket_;
  Stage stage_ = Stage::kConnecting;
  bool done_ = false;
  ExchangeError result_ = ExchangeError::kNone;
  std::string detail_;
  unsigned char chunk_[2048];
  std::vector<unsigned char> received_;
};

}  // namespace

char const* ExchangeErrorText(ExchangeError error) {
  switch (error) {
    case ExchangeError::kNone:
      return "no error";
    case ExchangeError::kResolve:
      return "cannot resolve host";
    case ExchangeError::kConnect:
      return "cannot connect to the daemon";
    case ExchangeError::kSend:
      return "cannot send the request";
    case ExchangeError::kNoReply:
      return "the daemon closed the connection without a reply";
    case ExchangeError::kTimeout:
      return "no reply within the time limit";
    case ExchangeError::kBadFrame:
      return "malformed reply frame";
    case ExchangeError::kBadChecksum:
      return "reply checksum mismatch";
    case ExchangeError::kDecrypt:
      return "reply does not decrypt";
    case ExchangeError::kBadReply:
      return "reply text is not a reply";
  }
  return "unknown error";
}

bool EncryptRequestBody(std::vector<unsigned char>& plain, std::size_t textSize,
                        unsigned char const* key, unsigned char const* iv,
                        std::vector<unsigned char>& cipher, std::uint16_t& checksum) {
  using norla_server::PacketChecksum;
  for (int attempt = 0;; ++attempt) {
    cipher.assign(plain.size(), 0);
    if (!plain.empty() &&
        !norla::NorlaAESExecute(plain.data(), cipher.data(), plain.size(), key, iv, true, false)) {
      return false;
    }
    checksum = PacketChecksum(cipher.data(), cipher.size());
    if (checksum != 0 || plain.empty() || attempt == 256) return true;
    if (plain.size() <= textSize) {
      if (plain.size() + 16 > norla_server::kPacketMaxBody) return true;
      plain.resize(plain.size() + 16, 0);
    }
    unsigned char& last = plain.back();
    do {
      ++last;
    } while (last == '\r' || last == '\n' || last == ':' || last == ' ' || last == 0);
  }
}

std::vector<unsigned char> EncodeRequestFrame(std::string const& text, std::size_t bodySize) {
  using namespace norla_server;
  bodySize = RoundUpToBlock(std::max(bodySize, text.size()));
  std::vector<unsigned char> plain(bodySize, 0);
  std::copy_n(text.begin(), std::min(text.size(), bodySize), plain.begin());

  norla::PacketKey const packetKey;
  std::vector<unsigned char> cipher;
  std::uint16_t checksum = 0;
  if (!EncryptRequestBody(plain, text.size(), packetKey.key, packetKey.iv, cipher, checksum)) {
    return {};
  }
  std::vector<unsigned char> frame(kPacketHeaderSize + cipher.size(), 0);
  std::copy(cipher.begin(), cipher.end(), frame.begin() + kPacketHeaderSize);
  EncodePacketHeader(frame.data(), cipher.size(), checksum);
  return frame;
}

std::vector<unsigned char> ExchangeFrame(ClientOptions const& options,
                                         std::vector<unsigned char> const& frame,
                                         ExchangeError& error, std::string& detail) {
  Exchange exchange(options, frame);
  return exchange.Run(error, detail);
}

ExchangeResult DecodeReplyFrame(std::vector<unsigned char> const& bytes,
                                std::size_t expectedBodySize) {
  using namespace norla_server;
  ExchangeResult result;
  std::size_t length = 0;
  std::uint16_t checksum = 0;
  if (bytes.size() < kPacketHeaderSize) {
    result.error = ExchangeError::kBadFrame;
    result.detail = "short header";
    return result;
  }
  DecodePacketHeader(bytes.data(), length, checksum);
  if (length != expectedBodySize || bytes.size() != kPacketHeaderSize + length) {
    result.error = ExchangeError::kBadFrame;
    result.detail = "reply body of " + std::to_string(bytes.size() - kPacketHeaderSize) +
                    " bytes, header says " + std::to_string(length);
    return result;
  }
  if (PacketChecksum(bytes.data() + kPacketHeaderSize, length) != checksum) {
    result.error = ExchangeError::kBadChecksum;
    return result;
  }
  // The service encrypts whole 16-byte blocks; a tail shorter than a block
  // cannot be decrypted and is ignored.
  std::size_t whole = length / 16 * 16;
  std::vector<unsigned char> plain(whole, 0);
  norla::PacketKey const packetKey;
  if (whole > 0 && !norla::NorlaAESExecute(bytes.data() + kPacketHeaderSize, plain.data(), whole,
                                           packetKey.key, packetKey.iv, false, false)) {
    result.error = ExchangeError::kDecrypt;
    return result;
  }
  result.text.assign(plain.begin(), plain.end());
  result.text.resize(std::min(result.text.find('\0'), result.text.size()));
  if (!ParseReply(result.text, result.reply)) result.error = ExchangeError::kBadReply;
  return result;
}

ExchangeResult SendText(ClientOptions const& options, std::string const& text) {
  std::vector<unsigned char> frame = EncodeRequestFrame(text, options.bodySize);
  ExchangeResult result;
  if (frame.empty()) {
    result.error = ExchangeError::kSend;
    result.detail = "request could not be encrypted";
    return result;
  }
  std::vector<unsigned char> reply = ExchangeFrame(options, frame, result.error, result.detail);
  if (result.error != ExchangeError::kNone) return result;
  return DecodeReplyFrame(reply, frame.size() - norla_server::kPacketHeaderSize);
}

ExchangeResult SendCommand(ClientOptions const& options, int command, std::string const& productId,
                           std::string const& uniqueId, std::string const& appId) {
  std::string text;
  if (!norla::NorlaCreatePacket(command, productId.c_str(), uniqueId.c_str(), appId.c_str(),
                                text)) {
    ExchangeResult result;
    result.error = ExchangeError::kBadReply;
    result.detail = "unknown command";
    return result;
  }
  return SendText(options, text);
}

}  // namespace tally
