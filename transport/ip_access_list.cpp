#include "transport/ip_access_list.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

namespace norla_server {
namespace {

constexpr char kDenyListPath[] = "./denyip.txt";
constexpr char kAllowListPath[] = "./allowip.txt";

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

bool LoadIPList(std::FILE* file, std::list<std::string>& patterns) {
  char piece[kListPieceSize];
  while (std::fgets(piece, sizeof piece, file) != nullptr) {
    piece[std::strcspn(piece, "\r")] = '\0';
    piece[std::strcspn(piece, "\n")] = '\0';
    if (piece[0] != '\0') patterns.emplace_back(piece);
  }
  return !std::ferror(file);
}

bool LoadIPListFile(char const* path, std::list<std::string>& patterns, int& error) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    error = errno;
    return error == ENOENT;
  }
  // A directory opens; reading it is what fails.
  bool const read = LoadIPList(file, patterns);
  error = read ? 0 : errno;
  std::fclose(file);
  return read;
}

std::shared_ptr<IpAccessLists const> LoadIPConfig() {
  std::list<std::string> deny, allow;
  int ignored = 0;
  LoadIPListFile(kDenyListPath, deny, ignored);
  LoadIPListFile(kAllowListPath, allow, ignored);
  return std::make_shared<IpAccessLists const>(std::move(deny), std::move(allow));
}

std::shared_ptr<IpAccessLists const> ReloadIPConfig(std::string& failure) {
  std::list<std::string> lists[2];
  char const* const paths[2] = {kDenyListPath, kAllowListPath};
  for (int i = 0; i < 2; ++i) {
    int error = 0;
    if (!LoadIPListFile(paths[i], lists[i], error)) {
      failure = std::string("cannot read ") + paths[i] + ": " + std::strerror(error);
      return nullptr;
    }
  }
  return std::make_shared<IpAccessLists const>(std::move(lists[0]), std::move(lists[1]));
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

bool IpAccessLists::Admits(std::string const& peer) const {
  return !MatchesAny(peer, deny_) || MatchesAny(peer, allow_);
}

}  // namespace norla_server
