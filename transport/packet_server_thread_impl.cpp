#include "transport/packet_server_thread_impl.h"

#include <boost/asio/ip/address_v6.hpp>
#include <stdexcept>
#include <string>

#include "transport/exception_report.h"

namespace norla_server {

KPacketServerThreadImpl::KPacketServerThreadImpl(int port, ITransportEvents* events)
    : port_(port), events_(events) {}

KPacketServerThreadImpl::~KPacketServerThreadImpl() {
  server_.reset();
}

bool KPacketServerThreadImpl::init(KPacketServerSettings settings,
                                   std::shared_ptr<IpAccessLists const> accessLists) {
  std::string failure;
  try {
    auto const port = static_cast<unsigned short>(static_cast<unsigned int>(port_) & 0xffffu);
    if (port == 0) {
      throw std::invalid_argument("port " + std::to_string(static_cast<unsigned int>(port_)) +
                                  " has 0 in its low 16 bits; no fixed port to listen on");
    }
    boost::asio::ip::tcp::endpoint const endpoint(boost::asio::ip::address_v6::any(), port);
    accessLists_.Set(std::move(accessLists));
    settings.events = events_;
    settings.traffic = &traffic_;
    auto server =
        std::make_unique<KPacketServer>(io_, endpoint, std::move(settings), accessLists_, refusals_);
    server->MakeNewAcceptSession();
    server_ = std::move(server);
    return true;
  } catch (std::exception const& e) {
    failure = std::string("Socket open failed / Exception: ") + e.what();
  } catch (...) {
    failure = "Socket open failed / Unknown exception";
  }
  if (events_ != nullptr) events_->OnLogLine(TransportLogPriority::kInfo, failure);
  return false;
}

void KPacketServerThreadImpl::operator()() {
  for (;;) {
    try {
      io_.run();
      break;
    } catch (...) {
      // Completions catch their own exceptions; anything reaching here is
      // reported like them, and the listener keeps serving.
      ReportCurrentException(events_);
    }
  }
  if (server_) {
    server_->Close();
    server_.reset();
  }
  ended_.store(true);
}

}  // namespace norla_server
