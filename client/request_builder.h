#pragma once

#include <string>

namespace norla {

enum NorlaCommand { kNorlaPing = 0, kNorlaLogin = 1, kNorlaAlive = 2, kNorlaExit = 3 };

// Writes the request text for `command` (0 PING, 1 LOGIN, 2 ALIVE, 3 EXIT)
// with the current UTC date and time into `out` and returns true; any other
// command number returns false and leaves `out` unchanged.
bool NorlaCreatePacket(int command, char const* productId, char const* uniqueId,
                       char const* appId, std::string& out);

}  // namespace norla
