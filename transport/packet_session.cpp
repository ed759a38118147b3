#include "transport/packet_session.h"

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <utility>

#include "transport/exception_report.h"
#include "transport/packet_exchange.h"
#include "transport/peer_address.h"
#include "transport/proxy_header.h"

namespace norla_server {

KPacketSession::Pointer KPacketSession::Create(boost::asio::io_context& io, PacketHandler handler,
                                               ITransportEvents* events,
                                               KTrafficCounts* traffic) {
  return Pointer(new KPacketSession(io, std::move(handler), events, traffic));
}

KPacketSession::KPacketSession(boost::asio::io_context& io, PacketHandler handler,
                               ITransportEvents* events, KTrafficCounts* traffic)
    : socket_(io), handler_(std::move(handler)), events_(events), traffic_(traffic) {}

template <typename Step>
void KPacketSession::Guarded(Step&& step) {
  try {
    step();
  } catch (...) {
    ReportCurrentException(events_);
    Close();
  }
}

void KPacketSession::Start(std::string peer, KAddressCounts::Slot slot) {
  peer_ = std::move(peer);
  addressSlot_ = std::move(slot);
  if (traffic_ != nullptr) started_ = std::chrono::steady_clock::now();
  Guarded([&] { ReadHeader(); });
}

void KPacketSession::StartProxied(std::string peer, ProxyAdmission admit) {
  peer_ = std::move(peer);
  admit_ = std::move(admit);
  Guarded([&] { ReadProxyHeader(0, kProxyHeaderFixedSize); });
}

// Exactly the header's bytes are read, never into the frame after it: the
// fixed part first, which tells the length of the rest.
void KPacketSession::ReadProxyHeader(std::size_t have, std::size_t want) {
  static_assert(kProxyHeaderMaxSize <= sizeof packet_.data, "the header is read into the frame");
  boost::asio::async_read(
      socket_, boost::asio::buffer(packet_.data + have, want - have),
      [self = shared_from_this(), want](boost::system::error_code const& error, std::size_t) {
        self->OnReadProxyHeader(error, want);
      });
}

void KPacketSession::OnReadProxyHeader(boost::system::error_code const& error, std::size_t have) {
  if (closed_) return;
  if (error) return Close();
  Guarded([&] {
    ProxyHeader const header = ParseProxyHeader(packet_.data, have);
    if (header.verdict == ProxyVerdict::kNeedMore) return ReadProxyHeader(have, header.length);
    if (header.verdict == ProxyVerdict::kProxied) peer_ = PeerAddressText(header.source);
    ProxyAdmission const admit = std::move(admit_);
    admit_ = nullptr;
    admit(shared_from_this(), header.verdict != ProxyVerdict::kMalformed);
  });
}

void KPacketSession::ReadHeader() {
  boost::asio::async_read(socket_, boost::asio::buffer(packet_.data, kPacketHeaderSize),
                          [self = shared_from_this()](boost::system::error_code const& error,
                                                      std::size_t) { self->OnReadHeader(error); });
}

void KPacketSession::OnReadHeader(boost::system::error_code const& error) {
  if (closed_) return;
  if (error) return Close();
  Guarded([&] {
    DecodePacketHeader(packet_.data, packet_.bodyLength, packet_.checksum);
    if (CheckPacketHeader(packet_.bodyLength, packet_.checksum) != HeaderVerdict::kReadBody) {
      // Dropped frame: nothing more is read or sent, so nothing keeps the
      // connection; release it now rather than leave it to the peer.
      packet_.bodyLength = 0;
      return Close();
    }
    boost::asio::async_read(socket_, boost::asio::buffer(packet_.body(), packet_.bodyLength),
                            [self = shared_from_this()](boost::system::error_code const& error,
                                                        std::size_t) { self->OnReadBody(error); });
  });
}

void KPacketSession::OnReadBody(boost::system::error_code const& error) {
  if (closed_) return;
  if (error) return Close();
  frameReceived_ = true;
  if (asyncHandler_) return Guarded([&] { AnswerLater(); });
  Guarded([&] {
    if (AnswerPacket(packet_, reply_, handler_, peer_) != ExchangeVerdict::kSendReply) {
      return Close();
    }
    WriteReply();
  });
}

void KPacketSession::AnswerLater() {
  if (!BodyMatchesChecksum(packet_)) return Close();
  auto executor = socket_.get_executor();
  asyncHandler_(packet_.body(), packet_.bodyLength, peer_,
                [self = shared_from_this(), executor](bool send, std::string body) {
                  boost::asio::post(executor, [self, send, body = std::move(body)] {
                    self->OnLateReply(send, body);
                  });
                });
}

void KPacketSession::OnLateReply(bool send, std::string const& body) {
  if (closed_) return;
  if (!send) return Close();
  Guarded([&] {
    MakeReplyFrame(body, reply_);
    WriteReply();
  });
}

void KPacketSession::WriteReply() {
  boost::asio::async_write(socket_, boost::asio::buffer(reply_.data, FrameSize(reply_)),
                           [self = shared_from_this()](boost::system::error_code const& error,
                                                       std::size_t) { self->OnWrite(error); });
}

void KPacketSession::OnWrite(boost::system::error_code const& error) {
  if (closed_) return;
  if (!error) {
    if (traffic_ != nullptr) traffic_->AddRequest(std::chrono::steady_clock::now() - started_);
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  }
  Close();
}

void KPacketSession::Close() {
  deadlineHook_.unlink();
  if (closed_) return;
  closed_ = true;
  addressSlot_.Release();
  handler_ = nullptr;
  admit_ = nullptr;
  asyncHandler_ = nullptr;
  boost::system::error_code ignored;
  socket_.close(ignored);
}

}  // namespace norla_server
