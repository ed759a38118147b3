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
// Idle connections closed per failed accept: enough that the accept after
// them succeeds, few enough that an idle peer loses only its oldest.
constexpr std::size_t kIdleClosedPerShortage = 4;
// A shortage this long after the previous one starts a new episode.
constexpr std::chrono::seconds kShortageEpisodeGap{10};

bool IsDescriptorShortage(boost::system::error_code const& error) {
  return (error.category() == boost::system::system_category() ||
          error.category() == boost::system::generic_category()) &&
         (error.value() == EMFILE || error.value() == ENFILE);
}

}  // namespace

KPacketServer::KPacketServer(boost::asio::io_context& io,
                             boost::asio::ip::tcp::endpoint const& endpoint,
                             KPacketServerSettings settings, KAccessListSlot const& accessLists,
                             KRefusalCounts& refusals)
    : io_(io),
      acceptor_(io),
      retryTimer_(io),
      settings_(std::move(settings)),
      accessLists_(accessLists),
      refusals_(refusals),
      addressCounts_(KAddressCounts::Create(settings_.maxPerAddress)),
      deadlines_(io, settings_.sessionDeadline) {
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
  KPacketSession::Pointer session = KPacketSession::Create(io_, settings_.handler, settings_.events,
                                                             settings_.traffic);
  if (settings_.asyncHandler) session->SetAsyncHandler(settings_.asyncHandler);
  acceptor_.async_accept(
      session->socket(), session->peerEndpoint(),
      [this, session](boost::system::error_code const& error) { OnAccept(session, error); });
}

void KPacketServer::OnAccept(KPacketSession::Pointer const& session,
                             boost::system::error_code const& error) {
  if (error) {
    session->Close();
    if (error != boost::asio::error::operation_aborted) ArmAccept(RecoverFromAcceptError(error));
    return;
  }
  try {
    Admit(session);
  } catch (...) {
    // The event sink threw: this connection ends, the listener goes on.
    ReportCurrentException(settings_.events);
    session->Close();
  }
  ArmAccept(std::chrono::milliseconds(0));
}

void KPacketServer::Admit(KPacketSession::Pointer const& session) {
  if (settings_.traffic != nullptr) settings_.traffic->AddConnection();
  std::string peer = PeerAddressText(session->peerEndpoint().address());
  // The balancer's own deadline starts now: a header that never comes does
  // not hold the connection for longer than a frame would.
  if (!settings_.proxySources.empty() && settings_.proxySources.Contains(peer)) {
    deadlines_.Add(*session);
    return session->StartProxied(std::move(peer),
                                 [this](KPacketSession::Pointer const& proxied, bool valid) {
                                   AdmitProxied(proxied, valid);
                                 });
  }
  if (settings_.events != nullptr) settings_.events->OnConnect(peer);
  AdmitPeer(session, std::move(peer));
}

void KPacketServer::AdmitProxied(KPacketSession::Pointer const& session, bool valid) {
  std::string peer = session->peer();
  if (!valid) {
    session->Close();
    return Refuse(peer, RefusalReason::kProxyHeader);
  }
  if (settings_.events != nullptr) settings_.events->OnConnect(peer);
  AdmitPeer(session, std::move(peer));
}

void KPacketServer::AdmitPeer(KPacketSession::Pointer const& session, std::string peer) {
  if (!accessLists_.Get()->Admits(peer)) {
    session->Close();
    return Refuse(peer, RefusalReason::kAccessList);
  }
  KAddressCounts::Slot slot = addressCounts_->Acquire(peer);
  if (!slot) {
    session->Close();
    return Refuse(peer, RefusalReason::kPerAddressCap);
  }
  deadlines_.Add(*session);
  session->Start(std::move(peer), std::move(slot));
}

void KPacketServer::Refuse(std::string const& peer, RefusalReason reason) {
  refusals_.Add(reason);
  if (settings_.events != nullptr) settings_.events->OnRefused(peer, reason);
}

std::chrono::milliseconds KPacketServer::RecoverFromAcceptError(
    boost::system::error_code const& error) {
  if (!IsDescriptorShortage(error)) return AcceptRetryDelay(error);
  try {
    NoteDescriptorShortage();
    std::size_t const closed = deadlines_.CloseOldestAwaitingFrame(
        kIdleClosedPerShortage,
        [this](KPacketSession& idle) { Refuse(idle.peer(), RefusalReason::kDescriptorShortage); });
    if (closed > 0) return std::chrono::milliseconds(0);
  } catch (...) {
    ReportCurrentException(settings_.events);
  }
  return kResourceRetryDelay;
}

// An accept failing again and again during one shortage logs only once.
void KPacketServer::NoteDescriptorShortage() {
  auto const now = std::chrono::steady_clock::now();
  bool const starts = !inDescriptorShortage_ || now - lastDescriptorShortage_ >= kShortageEpisodeGap;
  inDescriptorShortage_ = true;
  lastDescriptorShortage_ = now;
  if (starts && settings_.events != nullptr) {
    settings_.events->OnLogLine(TransportLogPriority::kError,
                                "Out of file descriptors: " +
                                    std::to_string(addressCounts_->Total()) +
                                    " connections open");
  }
}

void KPacketServer::ArmAccept(std::chrono::milliseconds delay) {
  if (!acceptor_.is_open()) return;
  if (delay.count() == 0) {
    try {
      MakeNewAcceptSession();
      return;
    } catch (...) {
      ReportCurrentException(settings_.events);
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
