#include "transport/ip_access_list.h"

#include <cctype>
#include <cstring>
#include <vector>

namespace norla_server {

std::list<std::string> gdqDenyIP;
std::list<std::string> gdqAllowIP;

namespace {

constexpr std::size_t kMaxMatchLength = 4096;
constexpr int kListPieceSize = 256;  // fgets keeps one byte for the terminator

bool SameLetter(char a, char b) {
  return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
}

// A star absorbs every "*" and "?" directly behind it.
std::string NormalisePattern(char const* pattern, std::size_t length) {
  std::string normal;
  normal.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    char const c = pattern[i];
    if (!normal.empty() && normal.back() == '*' && (c == '*' || c == '?')) continue;
    normal.push_back(c);
  }
  return normal;
}

// Backtracking over "*" remembers which (text, pattern) positions already
// failed, so a pattern with many stars cannot make a lookup exponential.
class WildcardMatcher {
 public:
  WildcardMatcher(char const* text, char const* pattern)
      : text_(text),
        pattern_(pattern),
        textLength_(std::strlen(text)),
        patternLength_(std::strlen(pattern)) {}

  bool Match() { return Match(0, 0); }

 private:
  bool Match(std::size_t t, std::size_t p) {
    for (;;) {
      if (p == patternLength_) return t == textLength_;
      char const pc = pattern_[p];
      if (t == textLength_) {
        if (pc == '?') return std::strspn(pattern_ + p, "?") == patternLength_ - p;
        if (pc == '*') return p + 1 == patternLength_;
        return false;
      }
      if (pc == '*') return MatchStar(t, p);
      if (pc != '?' && !SameLetter(text_[t], pc)) return false;
      ++t;
      ++p;
    }
  }

  bool MatchStar(std::size_t t, std::size_t p) {
    if (p + 1 == patternLength_) return true;
    if (HasFailed(t, p)) return false;
    char const next = pattern_[p + 1];
    for (std::size_t i = t; i < textLength_; ++i) {
      if (SameLetter(text_[i], next) && Match(i, p + 1)) return true;
    }
    MarkFailed(t, p);
    return false;
  }

  bool HasFailed(std::size_t t, std::size_t p) const {
    return !failed_.empty() && failed_[t * (patternLength_ + 1) + p];
  }
  void MarkFailed(std::size_t t, std::size_t p) {
    if (failed_.empty()) failed_.assign((textLength_ + 1) * (patternLength_ + 1), false);
    failed_[t * (patternLength_ + 1) + p] = true;
  }

  char const* text_;
  char const* pattern_;
  std::size_t textLength_;
  std::size_t patternLength_;
  std::vector<bool> failed_;
};

bool MatchesAny(std::string const& peer, std::list<std::string> const& patterns) {
  for (std::string const& pattern : patterns) {
    if (match_spec(peer.c_str(), pattern.c_str())) return true;
  }
  return false;
}

}  // namespace

void LoadIPList(std::FILE* file, std::list<std::string>& patterns) {
  char piece[kListPieceSize];
  while (std::fgets(piece, sizeof piece, file) != nullptr) {
    piece[std::strcspn(piece, "\r")] = '\0';
    piece[std::strcspn(piece, "\n")] = '\0';
    if (piece[0] != '\0') patterns.emplace_back(piece);
  }
}

bool LoadIPListFile(char const* path, std::list<std::string>& patterns) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  LoadIPList(file, patterns);
  std::fclose(file);
  return true;
}

void LoadIPConfig() {
  LoadIPListFile("./denyip.txt", gdqDenyIP);
  LoadIPListFile("./allowip.txt", gdqAllowIP);
}

bool match_spec(char const* text, char const* pattern) {
  if (text == nullptr || pattern == nullptr || pattern[0] == '\0') return false;
  if (std::strcmp(pattern, "*.*") == 0 || std::strcmp(pattern, "*") == 0) return true;

  // An over-long argument is not an address or a list entry; rather than match
  // a truncated copy, it matches nothing.
  std::size_t const textLength = strnlen(text, kMaxMatchLength + 1);
  std::size_t const patternLength = strnlen(pattern, kMaxMatchLength + 1);
  if (textLength > kMaxMatchLength || patternLength > kMaxMatchLength) return false;

  std::string const normal = NormalisePattern(pattern, patternLength);
  if (normal == "*.*" || normal == "*") return true;
  if (normal == "*.") {
    char const* dot = std::strchr(text, '.');
    return dot == nullptr || dot[1] == '\0';
  }
  return match_wildcard(text, normal.c_str());
}

bool match_wildcard(char const* text, char const* pattern) {
  if (text == nullptr || pattern == nullptr) return false;
  return WildcardMatcher(text, pattern).Match();
}

bool IsPeerAdmitted(std::string const& peer, std::list<std::string> const& deny,
                    std::list<std::string> const& allow) {
  return !MatchesAny(peer, deny) || MatchesAny(peer, allow);
}

bool IsPeerAdmitted(std::string const& peer) {
  return IsPeerAdmitted(peer, gdqDenyIP, gdqAllowIP);
}

}  // namespace norla_server
