#pragma once

// The load balancers whose connections begin with a PROXY header, by
// address. Kept as the peer texts the listener computes anyway (see
// peer_address.h), so telling a balancer's connection from a client's costs
// a few string comparisons, and nothing when the list is empty.
//
// Threads: fixed once built; read from any thread.

#include <string>
#include <vector>

namespace norla_server {

class KProxySources {
 public:
  KProxySources() = default;  // none: no connection carries a header

  // Addresses separated by commas, spaces around them ignored, e.g.
  // "10.0.0.5, 2001:db8::7". All or nothing: on any bad or missing address,
  // false with `error` naming it, and `sources` untouched.
  static bool Parse(std::string const& text, KProxySources& sources, std::string& error);

  bool empty() const { return peers_.empty(); }
  bool Contains(std::string const& peer) const;

 private:
  std::vector<std::string> peers_;
};

}  // namespace norla_server
