#include "transport/packet_server.h"

#include <boost/asio/ip/v6_only.hpp>
#include <cerrno>
#include <string>
#include <utility>

#include "transport/exception_report.h"
#include "transport/ip_access_list.h"
#include "transport/peer_address.h"

namespace norla_server {
namespace {

constexpr int kListenBacklog = 128;
constexpr std::chrono::milliseconds kResourceRetryDelay{100};

}  // namespace

KPacketServer::KPacketServer(boost::asio::io_context& io,
                             boost::asio::ip::tcp::endpoint const& endpoint, PacketHandler handler,
                             std::atomic<INorlaEventHandler*> const& eventHandler,
                             std::chrono::milliseconds sessionDeadline)
    : io_(io),
      acceptor_(io),
      retryTimer_(io),
      handler_(std::move(handler)),
      eventHandler_(eventHandler),
      deadlines_(io, sessionDeadline) {
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true));
  // Explicit, so IPv4 clients reach the IPv6 wildcard listener whatever the
  // host's default.
  if (endpoint.protocol() == boost::asio::ip::tcp::v6()) {
    acceptor_.set_option(boost::asio::ip::v6_only(false));
  }
  acceptor_.bind(endpoint);
  acceptor_.listen(kListenBacklog);
}

std::chrono::milliseconds KPacketServer::AcceptRetryDelay(boost::system::error_code const& error) {
  // By number, not through the categories' virtual equivalence: this runs
  // while descriptors are exhausted, and should need nothing but the code.
  if (error.category() != boost::system::system_category() &&
      error.category() != boost::system::generic_category()) {
    return std::chrono::milliseconds(0);
  }
  switch (error.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return kResourceRetryDelay;
    default:
      return std::chrono::milliseconds(0);
  }
}

void KPacketServer::MakeNewAcceptSession() {
  KPacketSession::Pointer session = KPacketSession::Create(io_, handler_);
  acceptor_.async_accept(
      session->socket(), session->peerEndpoint(),
      [this, session](boost::system::error_code const& error) { OnAccept(session, error); });
}

void KPacketServer::OnAccept(KPacketSession::Pointer const& session,
                             boost::system::error_code const& error) {
  if (error) {
    session->Close();
    if (error != boost::asio::error::operation_aborted) ArmAccept(AcceptRetryDelay(error));
    return;
  }
  try {
    std::string peer = PeerAddressText(session->peerEndpoint().address());
    if (INorlaEventHandler* events = eventHandler_.load()) events->OnConnect(peer.c_str());
    if (IsPeerAdmitted(peer)) {
      deadlines_.Add(*session);
      session->Start(std::move(peer));
    } else {
      if (INorlaEventHandler* events = eventHandler_.load()) {
        events->OnConnectRefused(peer.c_str());
      }
      session->Close();
    }
  } catch (...) {
    // The host's event handler threw: this connection ends, the listener goes on.
    ReportCurrentException();
    session->Close();
  }
  ArmAccept(std::chrono::milliseconds(0));
}

void KPacketServer::ArmAccept(std::chrono::milliseconds delay) {
  if (!acceptor_.is_open()) return;
  if (delay.count() == 0) {
    try {
      MakeNewAcceptSession();
      return;
    } catch (...) {
      ReportCurrentException();
      delay = kResourceRetryDelay;
    }
  }
  retryTimer_.expires_after(delay);
  retryTimer_.async_wait([this](boost::system::error_code const& error) {
    if (!error) ArmAccept(std::chrono::milliseconds(0));
  });
}

void KPacketServer::Close() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  deadlines_.Close();
  try {
    retryTimer_.cancel();
  } catch (boost::system::system_error const&) {
    // The timer goes with the server.
  }
}

unsigned short KPacketServer::LocalPort() const {
  boost::system::error_code error;
  return acceptor_.local_endpoint(error).port();
}

}  // namespace norla_server
