#pragma once

// One HTTP/1.1 request to the admin interface on 127.0.0.1, on its own
// connection, for end-to-end tests.

#include <string>

namespace tally_test {

struct HttpReply {
  int status = 0;  // 0: no response
  std::string body;
};

// `headers` are whole lines, each ending in "\r\n".
HttpReply Http(unsigned short port, std::string const& method, std::string const& path,
               std::string const& headers);

}  // namespace tally_test
