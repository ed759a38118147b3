#include "server/request.h"

#include <algorithm>

#include "base/line_reader.h"
#include "server/request_date.h"

namespace norla_server {

using namespace tally_protocol;

namespace {

Command CommandOf(std::string_view word) {
  if (word == "PING") return Command::kPing;
  if (word == "LOGIN") return Command::kLogin;
  if (word == "ALIVE") return Command::kAlive;
  if (word == "EXIT") return Command::kExit;
  return Command::kUnknown;
}

// The first three words of a line, split at runs of spaces; false with fewer.
bool FirstThreeWords(std::string_view line, std::string_view (&words)[3]) {
  std::size_t found = 0, start = 0;
  while (found < 3) {
    start = line.find_first_not_of(' ', start);
    if (start == std::string_view::npos) return false;
    std::size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    words[found++] = line.substr(start, end - start);
    start = end;
  }
  return true;
}

enum Field { kProductId, kUniqueId, kAppId, kDate, kFieldCount };

int FieldOf(std::string_view key) {
  if (key == "ProductID") return kProductId;
  if (key == "UniqueID") return kUniqueId;
  if (key == "AppID") return kAppId;
  if (key == "Date") return kDate;
  return kFieldCount;
}

}  // namespace

// Views into `text` until the request is complete: no piece is copied but
// the few kept, and the padding is only searched, never split off.
ReplyCode ParseRequest(std::string_view text, std::string_view peer, Request& request) {
  tally::LineReader reader(text);
  std::string_view line;
  if (!reader.Next(line)) return kReplyEmpty;
  std::string_view words[3];
  if (!FirstThreeWords(line, words)) return kReplyTooFewWords;

  // Every line counts, the first too; empty keys and values are ignored and
  // a later line wins.
  std::string_view fields[kFieldCount];
  std::string_view key, value;
  do {
    if (!tally::SplitField(line, key, value) || key.empty() || value.empty()) continue;
    int const field = FieldOf(key);
    if (field != kFieldCount) fields[field] = value;
  } while (reader.Next(line));

  request.word1.assign(words[0]);
  request.word2.assign(words[1]);
  request.word3.assign(words[2]);
  request.command = CommandOf(words[1]);
  request.productId.assign(fields[kProductId]);
  request.uniqueId.assign(fields[kUniqueId]);
  request.appId.assign(fields[kAppId]);
  request.date.assign(fields[kDate]);
  request.peer.assign(peer);
  return kReplyOk;
}

ReplyCode ValidateRequest(Request const& request, std::vector<std::string> const& products,
                          std::time_t now) {
  if (request.productId.empty()) return kReplyNoProductId;
  if (request.uniqueId.empty()) return kReplyNoUniqueId;
  if (request.appId.empty()) return kReplyNoAppId;
  if (!request.date.empty()) {
    ReplyCode dateCode = CheckRequestDate(request.date, UtcDay(now));
    if (dateCode != kReplyOk) return dateCode;
  }
  if (std::find(products.begin(), products.end(), request.productId) == products.end()) {
    return kReplyUnknownProduct;
  }
  return request.command == Command::kUnknown ? kReplyUnknownCommand : kReplyOk;
}

}  // namespace norla_server
