#include "transport/packet_cipher.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <cmath>
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
// AES instructions in OpenSSL 3. The algorithm is fetched once: an implicit
// fetch on every init is a provider lookup under a lock and cost more than
// the cipher work on a 512-byte body. Kept for the life of the process.
EVP_CIPHER const* Aes128Cbc() {
  static EVP_CIPHER const* const cipher = [] {
    EVP_CIPHER const* fetched = EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr);
    return fetched != nullptr ? fetched : EVP_aes_128_cbc();
  }();
  return cipher;
}

// One pass over `length` bytes with `context`, set up afresh (key, IV and
// direction). A context that already holds the cipher keeps it for a further
// pass, which spares OpenSSL rebuilding its provider state.
bool RunCbc(EVP_CIPHER_CTX* context, unsigned char const* input, unsigned char* output,
            unsigned long length, unsigned char const* key, unsigned char const* iv, bool encrypt) {
  EVP_CIPHER const* cipher = EVP_CIPHER_CTX_get0_cipher(context) == nullptr ? Aes128Cbc() : nullptr;
  // EVP copies the IV into the context, so the caller's stays untouched.
  if (EVP_CipherInit_ex2(context, cipher, key, iv, encrypt ? 1 : 0, nullptr) != 1) {
    return false;
  }
  EVP_CIPHER_CTX_set_padding(context, 0);

  // EVP counts in int; chunks stay block-aligned so the chaining carries over.
  constexpr unsigned long kChunk = 1UL << 30;
  unsigned long done = 0;
  while (done < length) {
    unsigned long const piece = length - done < kChunk ? length - done : kChunk;
    int written = 0;
    if (EVP_CipherUpdate(context, output + done, &written, input + done, static_cast<int>(piece)) !=
            1 ||
        static_cast<unsigned long>(written) != piece) {
      return false;
    }
    done += piece;
  }
  int tail = 0;
  return EVP_CipherFinal_ex(context, output + done, &tail) == 1 && tail == 0;
}

// Truncation toward zero, done as rounding in the current mode and one step
// back: a plain cast (or truncl) makes the compiler switch the x87 rounding
// mode around every conversion, which stalls the pipeline. The comparisons
// are exact, so the result is the cast's.
long TruncateToLong(long double value) {
  long rounded = std::lrintl(value);
  if (value >= 0 && static_cast<long double>(rounded) > value) --rounded;
  if (value < 0 && static_cast<long double>(rounded) < value) ++rounded;
  return rounded;
}

}  // namespace

unsigned char DecodeKeyEntry(long double entry) {
  auto const truncated = static_cast<std::int16_t>(TruncateToLong(-entry));
  return static_cast<unsigned char>(truncated & 0xff);
}

bool NorlaAESExecute(unsigned char const* input, unsigned char* output, unsigned long length,
                     unsigned char const* key, unsigned char const* iv, bool encrypt, bool verify) {
  if (input == nullptr || output == nullptr || key == nullptr || iv == nullptr) return false;
  if (length % 16 != 0) return false;

  std::memset(output, 0, length);
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) return false;
  if (!RunCbc(context.get(), input, output, length, key, iv, encrypt)) return false;
  if (!verify) return true;

  // Bodies are small; only an unusually long buffer needs the heap.
  constexpr unsigned long kStackScratch = 1024;
  unsigned char stackScratch[kStackScratch];
  std::unique_ptr<unsigned char[]> heapScratch;
  unsigned char* scratch = stackScratch;
  if (length > kStackScratch) {
    heapScratch.reset(new (std::nothrow) unsigned char[length]);
    if (!heapScratch) return false;
    scratch = heapScratch.get();
  }
  return RunCbc(context.get(), output, scratch, length, key, iv, !encrypt) &&
         std::memcmp(scratch, input, length) == 0;
}

void NorlaDecodeEncryptionKey(unsigned char (&key)[16], unsigned char (&iv)[16]) {
  for (int i = 0; i < 16; ++i) {
    key[i] = DecodeKeyEntry(gafAESKey[i]);
    iv[i] = DecodeKeyEntry(gafAESInitVec[i]);
  }
}

PacketKey::~PacketKey() {
  OPENSSL_cleanse(key, sizeof key);
  OPENSSL_cleanse(iv, sizeof iv);
}

}  // namespace norla
