#pragma once

// Address access lists: a peer is refused when its address text matches a
// deny pattern and no allow pattern; every other peer is admitted.
//
// Pattern syntax: "*" matches any run of characters, "?" one character (a run
// of "?" ending the pattern also matches fewer), anything else itself,
// case-insensitively; the whole text must match. "*" and "*.*" match every
// text. "*." matches a text whose first "." is its last character, and also a
// text without any "." (IPv6 peers).

#include <cstdio>
#include <list>
#include <string>

namespace norla_server {

// The patterns of "./denyip.txt" and "./allowip.txt" in file order. Filled by
// LoadIPConfig before the server thread starts and only read afterwards, on
// the server thread; they carry no lock of their own.
extern std::list<std::string> gdqDenyIP;
extern std::list<std::string> gdqAllowIP;

// Appends the patterns of "./denyip.txt" to gdqDenyIP, then those of
// "./allowip.txt" to gdqAllowIP. A file that cannot be opened adds nothing.
void LoadIPConfig();

// Appends the patterns read from `file`: pieces of at most 255 characters, each
// cut at its first CR and then at its first LF; empty pieces are skipped.
void LoadIPList(std::FILE* file, std::list<std::string>& patterns);

// As above for the file at `path`; false (and nothing appended) when it cannot
// be opened.
bool LoadIPListFile(char const* path, std::list<std::string>& patterns);

// True when `text` matches `pattern`. Null text, null or empty pattern, and
// arguments longer than 4096 characters match nothing.
bool match_spec(char const* text, char const* pattern);

// The matcher under match_spec, for patterns already normalised (no "*" or "?"
// directly after a "*"). Failed backtracking positions are remembered, so it
// runs in time polynomial in text and pattern length, never exponential.
bool match_wildcard(char const* text, char const* pattern);

// The deny-then-allow rule: admitted unless a deny pattern matches and no
// allow pattern does.
bool IsPeerAdmitted(std::string const& peer, std::list<std::string> const& deny,
                    std::list<std::string> const& allow);

// The same rule on gdqDenyIP and gdqAllowIP. Server thread only.
bool IsPeerAdmitted(std::string const& peer);

}  // namespace norla_server
