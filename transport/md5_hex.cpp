#include "transport/md5_hex.h"

#include <openssl/evp.h>

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

}  // namespace

std::string Md5Hex(std::string const& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, Md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 digest failed");
  }
  static char const kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * size);
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0f]);
  }
  return hex;
}

}  // namespace norla
