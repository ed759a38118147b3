#pragma once

#include <functional>
#include <string>

namespace norla_server {

// Called once per received frame body with the body, its length and the peer
// address text. It overwrites the body in place with the reply (same length,
// never beyond it) and returns true when the reply is to be sent.
using PacketHandler = std::function<bool(unsigned char* body, unsigned long length,
                                         std::string const& peer)>;

// Completes one body given to an AsyncPacketHandler: `send` with the reply
// body (the request's length), or !send to close without a reply. Callable
// from any thread, once; the session writes the reply on its own thread.
using PacketReply = std::function<void(bool send, std::string body)>;

// For handlers whose answer comes later (a request to a shared store): called
// with the body and the peer; answers through `reply`, possibly before it
// returns.
using AsyncPacketHandler = std::function<void(unsigned char const* body, unsigned long length,
                                              std::string const& peer, PacketReply reply)>;

}  // namespace norla_server
