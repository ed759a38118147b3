#pragma once

// Turns one parsed admin request into its response: the access rules first
// (token, then Host, then the guards on changes), then the endpoint.
//
// Access rules: with a token every request needs "Authorization: Bearer
// TOKEN" (401). Host must name the listening address or localhost with the
// port (403), which defeats DNS rebinding. DELETE and POST need
// "X-Tallyd-Admin: 1" and an Origin, when sent, naming the listening origin
// (403): a browser cannot send that header across origins without asking.
//
// Threads: used on the admin thread only; the source does its own locking.

#include <boost/beast/http.hpp>
#include <string>

#include "server/admin_query.h"
#include "server/admin_source.h"

namespace tally_admin {

namespace http = boost::beast::http;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// A response with the body {"error": message}.
Response ErrorResponse(http::status status, std::string const& message, unsigned version,
                       bool keepAlive);

class AdminRouter {
 public:
  // `authority`: the listening address as written in Host ("127.0.0.1:14356",
  // "[::1]:14356"). `token`: "" when none is required.
  AdminRouter(IAdminSource& source, std::string authority, unsigned short port, std::string token);

  Response Handle(Request const& request);

 private:
  // The status refusing `request` and why, or ok.
  http::status Check(Request const& request, std::string& why) const;
  Response Route(Request const& request);
  // /api/v1/history with from, to or step, and /api/v1/events: from the state file.
  Response Usage(QueryParams& params, Request const& request);
  Response Events(std::string_view query, Request const& request);

  IAdminSource& source_;
  std::string const authority_;
  std::string const localhost_;  // "localhost:PORT"
  std::string const token_;
};

}  // namespace tally_admin
