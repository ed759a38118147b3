// Arbitrary decrypted request text through parsing, validation, the commands and
// the reply, on a fixed clock: every input gives a known code and a well-formed reply.

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "server/event_log.h"
#include "server/receive_packet_handler.h"

static void DiscardLine(int, char const*, ...) {}

static std::unique_ptr<norla_server::KReceivePacketHandler> MakeHandler() {
  norla_server::sg_syslogFunc = &DiscardLine;
  auto handler = std::make_unique<norla_server::KReceivePacketHandler>("P1/P2");
  handler->SetClock([] { return std::time_t{1773144000}; });  // 2026-03-10 12:00 UTC
  handler->SetExtParams("Site: fuzz");
  return handler;
}

static std::set<int> const kKnown{200, 303, 401, 402, 403, 404, 405, 406, 501, 601, 602, 603, 604};

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  static std::unique_ptr<norla_server::KReceivePacketHandler> handler = MakeHandler();
  std::string text(reinterpret_cast<char const*>(data), size);
  auto const code = handler->ParsePacket(text, "192.0.2.1");
  std::string const reply = handler->MakeReply(code);
  std::string const head = "TALLYRPL1 " + std::to_string(code) + "\r\n\r\nVersion: 1.00\r\nHash: ";
  std::string const tail =
      "\r\nCurrentClients: " + std::to_string(handler->ClientCount()) + "\r\nSite: fuzz\r\n";
  if (kKnown.count(code) == 0 || reply.size() != head.size() + 32 + tail.size() ||
      reply != head + reply.substr(head.size(), 32) + tail ||
      reply.find_first_not_of("0123456789abcdef", head.size()) != head.size() + 32)
    std::abort();
  // A fixed clock never lets the sweep drop anyone: start over now and then.
  if (handler->ClientCount() > 1000) handler = MakeHandler();
  return 0;
}
