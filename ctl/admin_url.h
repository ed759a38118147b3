#pragma once

// Where the admin interface listens, from an http:// URL; and the escaping
// of ids and filter values placed in its paths and queries.

#include <optional>
#include <string>
#include <string_view>

namespace tallyctl {

struct AdminUrl {
  std::string host;  // without the brackets of an IPv6 literal
  std::string port;

  // What the Host header carries: the interface accepts only its own name.
  std::string Authority() const;

  // http://HOST[:PORT][/]; nullopt for anything else.
  static std::optional<AdminUrl> Parse(std::string_view text);
};

// Percent-escapes all but the unreserved characters: '/' must not split a
// path, and the interface keeps '+' literal rather than reading a space.
std::string UrlEncode(std::string_view text);

}  // namespace tallyctl
