#include "transport/packet_cipher.h"

#include <openssl/evp.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace norla {
namespace {

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

// EVP rather than the low-level AES_* calls: only EVP reaches the processor's
// AES instructions in OpenSSL 3.
bool RunCbc(unsigned char const* input, unsigned char* output, unsigned long length,
            unsigned char const* key, unsigned char const* iv, bool encrypt) {
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) return false;
  // EVP copies the IV into the context, so the caller's stays untouched.
  if (EVP_CipherInit_ex(context.get(), EVP_aes_128_cbc(), nullptr, key, iv, encrypt ? 1 : 0) != 1) {
    return false;
  }
  EVP_CIPHER_CTX_set_padding(context.get(), 0);

  // EVP counts in int; chunks stay block-aligned so the chaining carries over.
  constexpr unsigned long kChunk = 1UL << 30;
  unsigned long done = 0;
  while (done < length) {
    unsigned long const piece = length - done < kChunk ? length - done : kChunk;
    int written = 0;
    if (EVP_CipherUpdate(context.get(), output + done, &written, input + done,
                         static_cast<int>(piece)) != 1 ||
        static_cast<unsigned long>(written) != piece) {
      return false;
    }
    done += piece;
  }
  int tail = 0;
  return EVP_CipherFinal_ex(context.get(), output + done, &tail) == 1 && tail == 0;
}

unsigned char DecodeEntry(long double entry) {
  auto const truncated = static_cast<std::int16_t>(static_cast<long>(-entry));
  return static_cast<unsigned char>(truncated & 0xff);
}

}  // namespace

bool NorlaAESExecute(unsigned char const* input, unsigned char* output, unsigned long length,
                     unsigned char const* key, unsigned char const* iv, bool encrypt, bool verify) {
  if (input == nullptr || output == nullptr || key == nullptr || iv == nullptr) return false;
  if (length % 16 != 0) return false;

  std::memset(output, 0, length);
  if (!RunCbc(input, output, length, key, iv, encrypt)) return false;
  if (!verify) return true;

  std::unique_ptr<unsigned char[]> scratch(new (std::nothrow) unsigned char[length]());
  if (!scratch) return false;
  if (!RunCbc(output, scratch.get(), length, key, iv, !encrypt)) return false;
  return std::memcmp(scratch.get(), input, length) == 0;
}

void NorlaDecodeEncryptionKey(unsigned char (&key)[16], unsigned char (&iv)[16]) {
  for (int i = 0; i < 16; ++i) {
    key[i] = DecodeEntry(gafAESKey[i]);
    iv[i] = DecodeEntry(gafAESInitVec[i]);
  }
}

}  // namespace norla
