#pragma once

// The operator's HTTP interface: one listening socket and one thread with its
// own io_context, so no admin request ever waits behind a client request or
// delays one. At most 64 connections are open; further ones are closed at once.
//
// Threads: Start and the destructor are called from the owner's thread; the
// source is called on the admin thread only. The destructor stops the thread
// and waits for it, so the source must outlive this object.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <string>
#include <thread>

#include "server/admin_router.h"
#include "server/admin_source.h"

namespace tally_admin {

constexpr int kMaxAdminConnections = 64;

struct AdminOptions {
  std::string listen;     // "ADDRESS:PORT" or "[IPV6]:PORT"; "" is no interface
  std::string tokenFile;  // a file holding the bearer token; "" for none
};

class AdminServer {
 public:
  // A running interface, or null with `why` saying why it stays off. A
  // listening address other than loopback needs a token.
  static std::unique_ptr<AdminServer> Start(AdminOptions const& options, IAdminSource& source,
                                            std::string& why);
  ~AdminServer();
  AdminServer(AdminServer const&) = delete;
  AdminServer& operator=(AdminServer const&) = delete;

  // The listening address as Host names it, e.g. "127.0.0.1:14356".
  std::string const& Authority() const { return authority_; }

 private:
  AdminServer(IAdminSource& source, std::string authority, unsigned short port, std::string token);

  void DoAccept();
  void OnAccept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);

  std::string const authority_;
  AdminRouter router_;
  int open_ = 0;  // sessions alive; admin thread only
  std::unique_ptr<boost::asio::io_context> io_;
  std::unique_ptr<boost::asio::ip::tcp::acceptor> acceptor_;
  std::unique_ptr<boost::asio::steady_timer> retry_;  // after a failed accept
  std::thread thread_;
};

}  // namespace tally_admin
