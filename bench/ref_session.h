#pragma once

// One connection of the reference server: read one frame, echo it with a
// freshly computed CRC, shut down. The same frame rules as the daemon's
// sessions (length at most 1024, checksum field not 0, CRC must match); a
// frame that breaks them is dropped without a reply.
//
// Owns itself: created by RefServer for each accept, freed when its last
// operation completes.

#include <boost/asio/ip/tcp.hpp>

#include "transport/packet.h"

namespace tally_bench {

class RefSession {
 public:
  // Takes over `socket`; `served` counts the replies written.
  static void Start(boost::asio::ip::tcp::socket socket, unsigned long& served);

 private:
  RefSession(boost::asio::ip::tcp::socket socket, unsigned long& served);
  void ReadHeader();
  void ReadBody();
  void WriteReply();
  void Close();

  boost::asio::ip::tcp::socket socket_;
  unsigned long& served_;
  norla_server::TPacket packet_;
};

}  // namespace tally_bench
