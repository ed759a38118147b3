#pragma once

// Shared set-up of the micro-benchmarks: a quiet log sink, request bodies as
// the wire carries them, and a handler with a table of a chosen size.

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "protocol/protocol_constants.h"
#include "server/receive_packet_handler.h"

namespace tally_micro {

constexpr char const* kProduct = tally::kProductId;

// Event lines go nowhere, through the process's log stream as in the daemon.
// Without `background` the stream is first flushed, ending its writer.
void QuietEventLog(bool background);

// The encrypted 512-byte body of one request, as a client sends it.
std::vector<unsigned char> RequestBody(int command, std::string const& uniqueId,
                                       std::string const& appId);

// The reply code in an encrypted reply body; -1 when it does not decode.
int ReplyCode(std::vector<unsigned char> const& body);

// A handler whose wall and monotonic clocks both read `now` (seconds).
std::unique_ptr<norla_server::KReceivePacketHandler> MakeHandler(std::time_t const& now);

// The UniqueID of table entry i: 8 characters, short enough for every string
// of an entry to stay inside its std::string object.
std::string ShortUniqueId(std::size_t i);

// LOGINs `count` new clients (ids ShortUniqueId(first ..)) straight through
// ProcessCommand, skipping the cipher. The default peer is no IP address, so
// an event line never waits for a name lookup.
void FillTable(norla_server::KReceivePacketHandler& handler, std::size_t first, std::size_t count,
               std::string const& appId = "app", std::string const& peer = "peer-1");

// Heap bytes in use (malloc's view).
std::size_t HeapInUse();

}  // namespace tally_micro
