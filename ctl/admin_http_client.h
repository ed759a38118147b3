#pragma once

// One HTTP/1.1 request to the admin interface on its own connection, with
// one time limit over resolving, connecting, sending and reading.

#include <boost/beast/http/verb.hpp>
#include <chrono>
#include <string>

#include "ctl/admin_url.h"

namespace tallyctl {

struct HttpAnswer {
  int status = 0;        // 0: no answer; `failure` says why
  std::string body;
  std::string failure;
};

class AdminHttpClient {
 public:
  static constexpr std::chrono::seconds kTimeLimit{5};

  AdminHttpClient(AdminUrl url, std::string token)
      : url_(std::move(url)), token_(std::move(token)) {}

  HttpAnswer Send(boost::beast::http::verb method, std::string const& target) const;

 private:
  AdminUrl url_;
  std::string token_;  // empty: no Authorization header
};

}  // namespace tallyctl
