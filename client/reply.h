#pragma once

// Parsing of the service's reply text:
//   <tag> <code>\r\n\r\nVersion: 1.00\r\nHash: <md5 hex>\r\nCurrentClients: <n>\r\n
//   followed by one "Key: Value\r\n" line per extension parameter.

#include <string>
#include <utility>
#include <vector>

#include "protocol/reply_code.h"

namespace tally {

struct TReply {
  std::string tag;                // the 9-character reply tag
  tally_protocol::ReplyCode code{};  // any three digits; see protocol/reply_code.h
  std::string version;            // "1.00"
  std::string hash;               // md5(UniqueID + AppID) as 32 lower-case hex digits
  unsigned long currentClients = 0;
  std::vector<std::pair<std::string, std::string>> extensions;  // in reply order
};

// Parses the decrypted reply; trailing zero padding is ignored. False when the
// status line or one of the Version, Hash and CurrentClients lines is missing
// or malformed.
bool ParseReply(std::string const& text, TReply& reply);

}  // namespace tally
