#include "client/request_builder.h"

#include <cstdio>
#include <ctime>

namespace norla {
namespace {

// The request tag, one number per character, kept out of the binary's strings.
constexpr unsigned char kRequestTag[9] = {0x5b, 0x48, 0x53, 0x53, 0x60, 0x59, 0x4c, 0x58, 0x38};
constexpr unsigned char kTagOffset = 0x07;

std::string RequestTag() {
  std::string tag;
  for (unsigned char c : kRequestTag) tag.push_back(static_cast<char>(c - kTagOffset));
  return tag;
}

char const* CommandWord(int command) {
  switch (command) {
    case kNorlaPing: return "PING";
    case kNorlaLogin: return "LOGIN";
    case kNorlaAlive: return "ALIVE";
    case kNorlaExit: return "EXIT";
    default: return nullptr;
  }
}

}  // namespace

bool NorlaCreatePacket(int command, char const* productId, char const* uniqueId,
                       char const* appId, std::string& out) {
  char const* word = CommandWord(command);
  if (word == nullptr) return false;

  std::string text = "NORLA ";
  text += word;
  text += ' ';
  text += RequestTag();
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
  std::snprintf(line, sizeof line, "Time: %02d:%02d:%02d\r\n", utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  text += line;
  text += "\r\n";

  out = std::move(text);
  return true;
}

}  // namespace norla
