#pragma once

// The reply's Hash line: MD5 of a text as 32 lower-case hex digits. Shared by
// the service, which writes it, and clients, which check it.

#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace norla {

// Throws std::runtime_error when the digest cannot be computed.
std::string Md5Hex(std::string const& text);

// The same digest of `first` followed by `second`, with one context kept for
// every call: a fresh one per digest cost as much as the hashing. Not safe
// for concurrent use.
class Md5HexDigest {
 public:
  Md5HexDigest();
  ~Md5HexDigest();
  Md5HexDigest(Md5HexDigest const&) = delete;
  Md5HexDigest& operator=(Md5HexDigest const&) = delete;

  // Throws std::runtime_error when the digest cannot be computed.
  void Compute(std::string_view first, std::string_view second, char (&hex)[32]);

 private:
  evp_md_ctx_st* context_;
};

}  // namespace norla
