#include "client/request_builder.h"

#include <cstdio>
#include <ctime>

#include "base/obscured_text.h"

namespace norla {
namespace {

constexpr auto kRequestTag = tally::Obscure("TALLYREQ1");

char const* CommandWord(int command) {
  switch (command) {
    case kNorlaPing:
      return "PING";
    case kNorlaLogin:
      return "LOGIN";
    case kNorlaAlive:
      return "ALIVE";
    case kNorlaExit:
      return "EXIT";
    default:
      return nullptr;
  }
}

}  // namespace

bool NorlaCreatePacket(int command, char const* productId, char const* uniqueId, char const* appId,
                       std::string& out) {
  char const* word = CommandWord(command);
  if (word == nullptr) return false;

  std::string text = "NORLA ";
  text += word;
  text += ' ';
  text += tally::Reveal(kRequestTag);
  text += "\r\n";
  text += "ProductID: ";
  text += productId ? productId : "";
  text += "\r\nUniqueID: ";
  text += uniqueId ? uniqueId : "";
  text += "\r\nAppID: ";
  text += appId ? appId : "";
  text += "\r\n";

  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char line[64];
  std::snprintf(line, sizeof line, "Date: %04d/%02d/%02d\r\n", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday);
  text += line;
  std::snprintf(line, sizeof line, "Time: %02d:%02d:%02d\r\n", utc.tm_hour, utc.tm_min, utc.tm_sec);
  text += line;
  text += "\r\n";

  out = std::move(text);
  return true;
}

}  // namespace norla
