#include "server/client_list_json.h"

#include <charconv>

#include "base/utc_time.h"
#include "base/utf8_text.h"

namespace tally_admin {

namespace {

template <typename Number>
void AppendNumber(std::string& out, Number value) {
  char digits[24];
  auto const end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

void AppendClient(std::string& out, AdminClient const& client) {
  out += "{\"unique_id\":";
  AppendJsonString(out, client.uniqueId);
  out += ",\"app_id\":";
  AppendJsonString(out, client.appId);
  out += ",\"address\":";
  AppendJsonString(out, client.address);
  out += ",\"logins\":";
  AppendNumber(out, client.logins);
  out += ",\"first_seen\":\"";
  out += tally::FormatUtcTime(client.firstSeen);
  out += "\",\"last_seen\":\"";
  out += tally::FormatUtcTime(client.lastSeen);
  out += "\",\"idle_seconds\":";
  AppendNumber(out, client.idleSeconds);
  out += '}';
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t at = 0; at < text.size();) {
    std::size_t const length = tally::Utf8SequenceLength(text, at);
    if (length == 0) {
      out += tally::kReplacementCharacter;
      at += tally::Utf8InvalidLength(text, at);
      continue;
    }
    auto const c = static_cast<unsigned char>(text[at]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out.append(text, at, length);
        }
    }
    at += length;
  }
  out += '"';
}

std::string ClientJson(AdminClient const& client) {
  std::string out;
  AppendClient(out, client);
  out += '\n';
  return out;
}

std::string ClientListJson(std::vector<AdminClient> const& clients, std::string const* next) {
  std::string out;
  out.reserve(64 + clients.size() * 200);
  out += "{\"clients\":[";
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (i > 0) out += ',';
    AppendClient(out, clients[i]);
  }
  out += ']';
  if (next != nullptr) {
    out += ",\"next\":";
    AppendJsonString(out, *next);
  }
  out += "}\n";
  return out;
}

}  // namespace tally_admin
