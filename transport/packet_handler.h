#pragma once

#include <functional>
#include <string>

namespace norla_server {

// Called once per received frame body with the body, its length and the peer
// address text. It overwrites the body in place with the reply (same length,
// never beyond it) and returns true when the reply is to be sent.
using PacketHandler = std::function<bool(unsigned char* body, unsigned long length,
                                         std::string const& peer)>;

}  // namespace norla_server
