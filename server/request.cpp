#include "server/request.h"

#include <algorithm>
#include <map>

#include "server/request_date.h"
#include "server/request_text.h"

namespace norla_server {

using namespace tally_protocol;

namespace {

Command CommandOf(std::string const& word) {
  if (word == "PING") return Command::kPing;
  if (word == "LOGIN") return Command::kLogin;
  if (word == "ALIVE") return Command::kAlive;
  if (word == "EXIT") return Command::kExit;
  return Command::kUnknown;
}

std::string Take(std::map<std::string, std::string>& fields, char const* key) {
  auto found = fields.find(key);
  return found == fields.end() ? std::string() : std::move(found->second);
}

}  // namespace

ReplyCode ParseRequest(std::string const& text, std::string peer, Request& request) {
  std::vector<std::string> lines = SplitLines(text);
  if (lines.empty()) return kReplyEmpty;
  std::vector<std::string> words = SplitWords(lines.front());
  if (words.size() < 3) return kReplyTooFewWords;
  std::map<std::string, std::string> fields = ExtractFields(lines);
  request.word1 = std::move(words[0]);
  request.word2 = std::move(words[1]);
  request.word3 = std::move(words[2]);
  request.command = CommandOf(request.word2);
  request.productId = Take(fields, "ProductID");
  request.uniqueId = Take(fields, "UniqueID");
  request.appId = Take(fields, "AppID");
  request.date = Take(fields, "Date");
  request.peer = std::move(peer);
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
