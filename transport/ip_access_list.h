#pragma once

// Address access lists: a peer is refused when its address text matches a
// deny pattern and no allow pattern; every other peer is admitted.
//
// Pattern syntax: "*" matches any run of characters, "?" one character (a run
// of "?" ending the pattern also matches fewer), anything else itself,
// case-insensitively; the whole text must match. "*" and "*.*" match every
// text. "*." matches a text whose first "." is its last character, and also a
// text without any "." (IPv6 peers).

#include <atomic>
#include <cstdio>
#include <list>
#include <memory>
#include <string>

namespace norla_server {

// One deny list and one allow list, fixed once built: a running service
// replaces its lists whole, so a connection never sees half of a reload.
class IpAccessLists {
 public:
  IpAccessLists() = default;  // admits everyone
  IpAccessLists(std::list<std::string> deny, std::list<std::string> allow)
      : deny_(std::move(deny)), allow_(std::move(allow)) {}

  // Admitted unless a deny pattern matches and no allow pattern does.
  bool Admits(std::string const& peer) const;

  std::list<std::string> const& deny() const { return deny_; }
  std::list<std::string> const& allow() const { return allow_; }

 private:
  std::list<std::string> deny_;
  std::list<std::string> allow_;
};

// The lists in force for a running server: read for every accepted peer on
// the server thread, replaced whole from any thread.
class KAccessListSlot {
 public:
  KAccessListSlot() : lists_(std::make_shared<IpAccessLists const>()) {}
  std::shared_ptr<IpAccessLists const> Get() const { return std::atomic_load(&lists_); }
  // Null stands for empty lists.
  void Set(std::shared_ptr<IpAccessLists const> lists) {
    if (!lists) lists = std::make_shared<IpAccessLists const>();
    std::atomic_store(&lists_, std::move(lists));
  }

 private:
  std::shared_ptr<IpAccessLists const> lists_;
};

// The lists of "./denyip.txt" and "./allowip.txt". A file that cannot be read
// gives an empty list, so a service starts without its lists rather than not.
std::shared_ptr<IpAccessLists const> LoadIPConfig();

// The same files for a running service, which keeps its lists unless both
// files could be read: a file that exists but cannot be read gives null and
// `failure` "cannot read PATH: REASON". A missing file is an empty list.
std::shared_ptr<IpAccessLists const> ReloadIPConfig(std::string& failure);

// Appends the patterns read from `file`: pieces of at most 255 characters, each
// cut at its first CR and then at its first LF; empty pieces are skipped.
// False (with errno set) when reading failed; what was read stays appended.
bool LoadIPList(std::FILE* file, std::list<std::string>& patterns);

// Appends the patterns of the file at `path`; a missing file adds nothing. On
// any other failure to open or read, false with `error` set to the errno.
bool LoadIPListFile(char const* path, std::list<std::string>& patterns, int& error);

// True when `text` matches `pattern`. Null text, null or empty pattern, and
// arguments longer than 4096 characters match nothing.
bool match_spec(char const* text, char const* pattern);

// The matcher under match_spec, for patterns already normalised (no "*" or "?"
// directly after a "*"). Failed backtracking positions are remembered, so it
// runs in time polynomial in text and pattern length, never exponential.
bool match_wildcard(char const* text, char const* pattern);

}  // namespace norla_server
