#pragma once

// A request as data: split from its text, validated to a reply code, then
// executed by the handler against the client table. Socket-free and pure.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/reply_code.h"

namespace norla_server {

enum class Command : std::uint8_t { kPing, kLogin, kAlive, kExit, kUnknown };

struct Request {
  std::string word1, word2, word3;  // the first line's first three words
  Command command = Command::kUnknown;
  std::string productId, uniqueId, appId, date;  // fields; empty when absent
  std::string peer;
};

// Splits request text into `request`: kReplyEmpty when it has no line,
// kReplyTooFewWords when the first line has fewer than three words, else
// kReplyOk and every member set. Assigning keeps the strings' capacity, so a
// reused record parses without allocating.
tally_protocol::ReplyCode ParseRequest(std::string_view text, std::string_view peer,
                                       Request& request);

// The checks after the first word and before the command, in reply order:
// ProductID, UniqueID, AppID, the Date against the UTC day of `now` (only
// when given), the product among `products`, then the command itself.
tally_protocol::ReplyCode ValidateRequest(Request const& request,
                                          std::vector<std::string> const& products,
                                          std::time_t now);

}  // namespace norla_server
