#include "transport/md5_hex.h"

#include <openssl/evp.h>

#include <new>
#include <stdexcept>

namespace norla {
namespace {

// Fetched once: an implicit fetch per digest is a provider lookup under a
// lock. Kept for the life of the process.
EVP_MD const* Md5() {
  static EVP_MD const* const md5 = [] {
    EVP_MD const* fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return fetched != nullptr ? fetched : EVP_md5();
  }();
  return md5;
}

char const kHexDigits[] = "0123456789abcdef";

}  // namespace

std::string Md5Hex(std::string const& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, Md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 digest failed");
  }
  std::string hex;
  hex.reserve(2 * size);
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(kHexDigits[digest[i] >> 4]);
    hex.push_back(kHexDigits[digest[i] & 0x0f]);
  }
  return hex;
}

Md5HexDigest::Md5HexDigest() : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr) throw std::bad_alloc();
}

Md5HexDigest::~Md5HexDigest() { EVP_MD_CTX_free(context_); }

void Md5HexDigest::Compute(std::string_view first, std::string_view second, char (&hex)[32]) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestInit_ex(context_, Md5(), nullptr) != 1 ||
      EVP_DigestUpdate(context_, first.data(), first.size()) != 1 ||
      EVP_DigestUpdate(context_, second.data(), second.size()) != 1 ||
      EVP_DigestFinal_ex(context_, digest, &size) != 1 || size != 16) {
    throw std::runtime_error("MD5 digest failed");
  }
  for (unsigned int i = 0; i < 16; ++i) {
    hex[2 * i] = kHexDigits[digest[i] >> 4];
    hex[2 * i + 1] = kHexDigits[digest[i] & 0x0f];
  }
}

}  // namespace norla
