#include "server/admin_server.h"

#include <boost/asio/ip/address.hpp>
#include <charconv>
#include <fstream>
#include <sstream>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/signal_mask.h"
#include "server/admin_session.h"

namespace tally_admin {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Linux's nice applies to one thread when given its id.
constexpr int kAdminNice = 10;

// "ADDRESS:PORT" or "[IPV6]:PORT" into an endpoint; false when malformed.
bool ParseListen(std::string const& text, tcp::endpoint& endpoint) {
  std::size_t const colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  unsigned short port = 0;
  char const* const end = text.data() + text.size();
  auto const result = std::from_chars(text.data() + colon + 1, end, port);
  if (result.ec != std::errc() || result.ptr != end || port == 0) return false;
  boost::system::error_code ec;
  auto const address = asio::ip::make_address(host, ec);
  if (ec) return false;
  endpoint = tcp::endpoint(address, port);
  return true;
}

// The file's content without surrounding white space; false when unreadable.
bool ReadToken(std::string const& path, std::string& token) {
  std::ifstream file(path);
  if (!file) return false;
  std::ostringstream content;
  content << file.rdbuf();
  token = content.str();
  char const* const space = " \t\r\n\f\v";
  std::size_t const first = token.find_first_not_of(space);
  token = first == std::string::npos
              ? std::string()
              : token.substr(first, token.find_last_not_of(space) - first + 1);
  return true;
}

}  // namespace

std::unique_ptr<AdminServer> AdminServer::Start(AdminOptions const& options, IAdminSource& source,
                                                std::string& why) {
  tcp::endpoint endpoint;
  if (!ParseListen(options.listen, endpoint)) {
    why = options.listen + " is not ADDRESS:PORT";
    return nullptr;
  }
  std::string token;
  if (!options.tokenFile.empty()) {
    if (!ReadToken(options.tokenFile, token)) {
      why = "cannot read " + options.tokenFile;
      return nullptr;
    }
    if (token.empty()) {
      why = options.tokenFile + " holds no token";
      return nullptr;
    }
  }
  if (!endpoint.address().is_loopback() && token.empty()) {
    why = options.listen + " is not a loopback address and no admin-token-file is set";
    return nullptr;
  }

  std::unique_ptr<AdminServer> server(
      new AdminServer(source, options.listen, endpoint.port(), std::move(token)));
  boost::system::error_code ec;
  auto& acceptor = *server->acceptor_;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    why = "bind " + options.listen + ": " + ec.message();
    return nullptr;
  }
  server->DoAccept();
  tally::BlockAsyncSignals blocked;
  server->thread_ = std::thread([io = server->io_.get()] {
    // Below the request thread: a listing or a scrape uses the CPU the
    // clients leave, and never holds one of their requests up for long.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kAdminNice);
    for (;;) {
      try {
        io->run();
        return;
      } catch (...) {
        // A handler's exception loses its connection, never the interface.
      }
    }
  });
  return server;
}

AdminServer::AdminServer(IAdminSource& source, std::string authority, unsigned short port,
                         std::string token)
    : authority_(std::move(authority)),
      router_(source, authority_, port, std::move(token)),
      io_(std::make_unique<asio::io_context>(1)),
      acceptor_(std::make_unique<tcp::acceptor>(*io_)),
      retry_(std::make_unique<asio::steady_timer>(*io_)) {}

AdminServer::~AdminServer() {
  io_->stop();
  if (thread_.joinable()) thread_.join();
  // The sessions still pending go with the io_context, while open_ and the
  // router they use are alive.
  retry_.reset();
  acceptor_.reset();
  io_.reset();
}

void AdminServer::DoAccept() {
  acceptor_->async_accept([this](boost::system::error_code ec, tcp::socket socket) {
    OnAccept(ec, std::move(socket));
  });
}

void AdminServer::OnAccept(boost::system::error_code ec, tcp::socket socket) {
  if (ec == asio::error::operation_aborted) return;
  if (ec) {
    // Out of descriptors, most likely: accepting again at once would spin.
    retry_->expires_after(std::chrono::milliseconds(100));
    retry_->async_wait([this](boost::system::error_code waited) {
      if (!waited) DoAccept();
    });
    return;
  }
  if (open_ < kMaxAdminConnections) {
    std::make_shared<AdminSession>(std::move(socket), router_, open_)->Run();
  }
  DoAccept();
}

}  // namespace tally_admin
