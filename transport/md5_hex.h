#pragma once

// The reply's Hash line: MD5 of a text as 32 lower-case hex digits. Shared by
// the service, which writes it, and clients, which check it.

#include <string>

namespace norla {

// Throws std::runtime_error when the digest cannot be computed.
std::string Md5Hex(std::string const& text);

}  // namespace norla
