#include "bench/load_client.h"

#include "bench/request_frames.h"

#include <algorithm>
#include <array>
#include <cstring>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "client/request_builder.h"
#include "transport/packet.h"

namespace tally_bench {
namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

unsigned long TRunStats::ErrorCount() const {
  unsigned long total = 0;
  for (auto const& entry : errors) total += entry.second;
  return total;
}

namespace {

char const* CommandName(int command) {
  switch (command) {
    case norla::kNorlaPing: return "PING";
    case norla::kNorlaLogin: return "LOGIN";
    case norla::kNorlaAlive: return "ALIVE";
    case norla::kNorlaExit: return "EXIT";
  }
  return "?";
}

}  // namespace

class LoadClient::Impl {
 public:
  Impl(BenchOptions const& options, RequestPlan& plan, std::vector<std::string> const& uniqueIds)
      : options_(options), plan_(plan), frames_(options, uniqueIds) {}

  TRunStats Run(double warmupSeconds, double durationSeconds, unsigned long maxReplies) {
    stats_ = TRunStats();
    maxReplies_ = maxReplies;
    stopping_ = false;
    auto seconds = [](double s) {
      return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    };
    Clock::time_point begin = Clock::now();
    measureFrom_ = begin + seconds(warmupSeconds);
    measureUntil_ = measureFrom_ + seconds(durationSeconds);
    lastMeasured_ = measureFrom_;

    error_code ec;
    tcp::resolver resolver(io_);
    auto endpoints = resolver.resolve(options_.host, std::to_string(options_.port),
                                      tcp::resolver::numeric_service, ec);
    if (ec || endpoints.empty()) {
      RecordError("resolve", ec ? ec.message() : "no address");
      return std::move(stats_);
    }
    endpoint_ = endpoints.begin()->endpoint();

    slots_.clear();
    for (unsigned i = 0; i < options_.concurrency; ++i) {
      slots_.push_back(std::make_unique<Slot>(io_));
    }
    for (auto& slot : slots_) StartNext(*slot);
    io_.restart();
    io_.run();

    Clock::time_point end = std::min(lastMeasured_, measureUntil_);
    if (stopping_ && Clock::now() >= measureUntil_) end = measureUntil_;
    stats_.seconds = std::chrono::duration<double>(end - measureFrom_).count();
    if (stats_.seconds < 0) stats_.seconds = 0;
    return std::move(stats_);
  }

 private:
  struct Slot {
    explicit Slot(asio::io_context& io) : socket(io), timer(io) {}
    tcp::socket socket;
    asio::steady_timer timer;
    TPlannedRequest request;
    std::vector<unsigned char> frame;
    std::array<unsigned char, norla_server::kPacketHeaderSize + norla_server::kPacketMaxBody + 1>
        reply{};
    std::size_t replyLength = 0;  // frame bytes received
    unsigned char drain[64];
    Clock::time_point start;
    Clock::time_point replied;
    unsigned generation = 0;
    bool timedOut = false;
    bool answered = false;  // reply complete, reading to end-of-stream
    int code = -1;
  };

  bool MayStart() {
    if (stopping_) return false;
    if (Clock::now() >= measureUntil_ || (maxReplies_ > 0 && stats_.replies >= maxReplies_)) {
      stopping_ = true;
      return false;
    }
    return true;
  }

  // A copy: PING frames are shared by every connection, and a cached frame
  // may be rebuilt while an earlier copy is still being written.
  bool BuildFrame(Slot& slot) {
    slot.frame = frames_.Frame(slot.request);
    return !slot.frame.empty();
  }

  void StartNext(Slot& slot) {
    if (!MayStart() || !plan_.Next(slot.request)) return;
    if (!BuildFrame(slot)) {
      RecordError("encode", "request could not be built");
      plan_.Release(slot.request);
      return;
    }
    ++stats_.started;
    ++slot.generation;
    slot.timedOut = false;
    slot.answered = false;
    slot.replyLength = 0;
    slot.code = -1;
    slot.start = Clock::now();
    unsigned generation = slot.generation;
    slot.timer.expires_after(options_.timeout);
    slot.timer.async_wait([this, &slot, generation](error_code ec) {
      if (ec || generation != slot.generation) return;
      slot.timedOut = true;
      error_code ignored;
      slot.socket.close(ignored);
    });
    slot.socket.async_connect(endpoint_, [this, &slot](error_code ec) { OnConnect(slot, ec); });
  }

  void OnConnect(Slot& slot, error_code ec) {
    if (ec) {
      return Fail(slot, ec == asio::error::connection_refused ? "connect refused" : "connect", ec);
    }
    asio::async_write(slot.socket, asio::buffer(slot.frame),
                      [this, &slot](error_code e, std::size_t) {
                        if (e) return Fail(slot, "send", e);
                        ReadHeader(slot);
                      });
  }

  void ReadHeader(Slot& slot) {
    asio::async_read(slot.socket, asio::buffer(slot.reply.data(), norla_server::kPacketHeaderSize),
                     [this, &slot](error_code ec, std::size_t) {
                       if (ec) return Fail(slot, ReadErrorKind(ec), ec);
                       std::size_t length = 0;
                       std::uint16_t checksum = 0;
                       norla_server::DecodePacketHeader(slot.reply.data(), length, checksum);
                       if (length > norla_server::kPacketMaxBody) {
                         return Fail(slot, "bad frame", {}, "reply length " + std::to_string(length));
                       }
                       slot.replyLength = norla_server::kPacketHeaderSize + length;
                       ReadBody(slot, length);
                     });
  }

  void ReadBody(Slot& slot, std::size_t length) {
    asio::async_read(
        slot.socket,
        asio::buffer(slot.reply.data() + norla_server::kPacketHeaderSize, length),
        [this, &slot](error_code ec, std::size_t) {
          if (ec) return Fail(slot, ReadErrorKind(ec), ec);
          slot.replied = Clock::now();
          std::string kind, detail;
          if (!CheckReply(slot, kind, detail)) return Fail(slot, kind.c_str(), {}, detail);
          slot.answered = true;
          ReadToEnd(slot);
        });
  }

  // The daemon shuts the connection down after its reply; anything more is a
  // second frame that the protocol does not have.
  void ReadToEnd(Slot& slot) {
    slot.socket.async_read_some(asio::buffer(slot.drain), [this, &slot](error_code ec,
                                                                        std::size_t n) {
      if (!ec && n > 0) return Fail(slot, "bad frame", {}, "bytes after the reply");
      if (ec && ec != asio::error::eof && ec != asio::error::connection_reset) {
        return Fail(slot, slot.timedOut ? "timeout" : "no shutdown", ec);
      }
      Succeed(slot);
    });
  }

  static char const* ReadErrorKind(error_code ec) {
    if (ec == asio::error::eof) return "no reply";
    if (ec == asio::error::connection_reset) return "reset";
    return "receive";
  }

  bool CheckReply(Slot& slot, std::string& kind, std::string& detail) {
    std::size_t sentBody = slot.frame.size() - norla_server::kPacketHeaderSize;
    if (options_.mode == BenchMode::kEcho) {
      std::size_t length = slot.replyLength - norla_server::kPacketHeaderSize;
      std::size_t ignored = 0;
      std::uint16_t checksum = 0;
      norla_server::DecodePacketHeader(slot.reply.data(), ignored, checksum);
      unsigned char const* body = slot.reply.data() + norla_server::kPacketHeaderSize;
      if (length != sentBody) {
        kind = "bad frame";
        detail = "reply length " + std::to_string(length);
      } else if (norla_server::PacketChecksum(body, length) != checksum) {
        kind = "bad checksum";
      } else if (std::memcmp(body, slot.frame.data() + norla_server::kPacketHeaderSize, length)) {
        kind = "bad reply";
        detail = "echo differs from the request";
      } else {
        slot.code = kEchoCode;
        return true;
      }
      return false;
    }
    int code = 0;
    if (!frames_.ReadReply(slot.reply.data(), slot.replyLength, sentBody, code, kind, detail)) {
      return false;
    }
    slot.code = code;
    return true;
  }

  void Succeed(Slot& slot) {
    if (options_.mode == BenchMode::kEcho) {
      plan_.Release(slot.request);
    } else if (!plan_.Complete(slot.request, slot.code)) {
      RecordError("unexpected code",
                  std::string(CommandName(slot.request.command)) + " answered " +
                      std::to_string(slot.code) + ", expected " +
                      (slot.request.expectedCode ? std::to_string(slot.request.expectedCode)
                                                 : "200 or 303"));
    }
    if (slot.replied >= measureFrom_ && slot.replied <= measureUntil_) {
      ++stats_.replies;
      ++stats_.codes[slot.code];
      stats_.latency.Add(slot.replied - slot.start);
      lastMeasured_ = std::max(lastMeasured_, slot.replied);
    }
    EndExchange(slot);
  }

  void Fail(Slot& slot, char const* kind, error_code ec, std::string detail = {}) {
    if (slot.timedOut) {
      kind = "timeout";
      detail.clear();
    } else if (ec && detail.empty()) {
      detail = ec.message();
    }
    RecordError(kind, detail);
    if (options_.mode == BenchMode::kEcho) {
      plan_.Release(slot.request);
    } else if (slot.answered) {
      // The reply arrived and decoded; only the shutdown after it misbehaved.
      plan_.Complete(slot.request, slot.code);
    } else {
      plan_.Abandon(slot.request);
    }
    EndExchange(slot);
  }

  void EndExchange(Slot& slot) {
    ++slot.generation;
    slot.timer.cancel();
    error_code ignored;
    slot.socket.close(ignored);
    StartNext(slot);
  }

  void RecordError(std::string const& kind, std::string const& detail) {
    ++stats_.errors[kind];
    if (!detail.empty()) stats_.firstError.emplace(kind, detail);
  }

  BenchOptions const& options_;
  RequestPlan& plan_;
  RequestFrames frames_;
  asio::io_context io_;
  tcp::endpoint endpoint_;
  std::vector<std::unique_ptr<Slot>> slots_;
  TRunStats stats_;
  unsigned long maxReplies_ = 0;
  bool stopping_ = false;
  Clock::time_point measureFrom_, measureUntil_, lastMeasured_;
};

LoadClient::LoadClient(BenchOptions const& options, RequestPlan& plan,
                       std::vector<std::string> const& uniqueIds)
    : impl_(std::make_unique<Impl>(options, plan, uniqueIds)) {}

LoadClient::~LoadClient() = default;

TRunStats LoadClient::Run(double warmupSeconds, double durationSeconds,
                          unsigned long maxReplies) {
  return impl_->Run(warmupSeconds, durationSeconds, maxReplies);
}

}  // namespace tally_bench
