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

// Runs `length` bytes through a context, chaining on from where it stopped.
bool Stream(EVP_CIPHER_CTX* context, unsigned char const* input, unsigned char* output,
            unsigned long length) {
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
  return true;
}

// Feeds `length` bytes through a context already set up for the pass.
bool Feed(EVP_CIPHER_CTX* context, unsigned char const* input, unsigned char* output,
          unsigned long length) {
  int tail = 0;
  return Stream(context, input, output, length) &&
         EVP_CipherFinal_ex(context, output + length, &tail) == 1 && tail == 0;
}

constexpr unsigned long kBlock = 16;

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
  return Feed(context, input, output, length);
}

// `forward(in, out)` over the whole buffer and, with `verify`, `backward`
// over its result, which must give `input` back.
template <typename Forward, typename Backward>
bool VerifiedPass(unsigned char const* input, unsigned char* output, unsigned long length,
                  bool verify, Forward forward, Backward backward) {
  if (input == nullptr || output == nullptr) return false;
  if (length % 16 != 0) return false;

  std::memset(output, 0, length);
  if (!forward(input, output)) return false;
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
  return backward(output, scratch) && std::memcmp(scratch, input, length) == 0;
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
  if (key == nullptr || iv == nullptr) return false;
  CipherContext context(EVP_CIPHER_CTX_new());
  if (!context) return false;
  auto pass = [&](bool direction) {
    return [&, direction](unsigned char const* in, unsigned char* out) {
      return RunCbc(context.get(), in, out, length, key, iv, direction);
    };
  };
  return VerifiedPass(input, output, length, verify, pass(encrypt), pass(!encrypt));
}

PacketCipher::~PacketCipher() { Clear(); }

void PacketCipher::Clear() {
  // Freeing cleanses the key schedule.
  EVP_CIPHER_CTX_free(encryptor_);
  EVP_CIPHER_CTX_free(decryptor_);
  encryptor_ = decryptor_ = nullptr;
  OPENSSL_cleanse(iv_, sizeof iv_);
}

bool PacketCipher::SetKey(unsigned char const (&key)[16], unsigned char const (&iv)[16]) {
  Clear();
  CipherContext encryptor(EVP_CIPHER_CTX_new()), decryptor(EVP_CIPHER_CTX_new());
  if (!encryptor || !decryptor ||
      EVP_CipherInit_ex2(encryptor.get(), Aes128Cbc(), key, iv, 1, nullptr) != 1 ||
      EVP_CipherInit_ex2(decryptor.get(), Aes128Cbc(), key, iv, 0, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_padding(encryptor.get(), 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(decryptor.get(), 0) != 1) {
    return false;
  }
  // The provider contexts keep padding off from here on. The context flag
  // would only make every IV reset set it again through OpenSSL's parameter
  // lookups; a context that did pad would fail Feed, never pass silently.
  EVP_CIPHER_CTX_clear_flags(encryptor.get(), EVP_CIPH_NO_PADDING);
  EVP_CIPHER_CTX_clear_flags(decryptor.get(), EVP_CIPH_NO_PADDING);
  std::memcpy(iv_, iv, sizeof iv_);
  std::memcpy(encryptChain_, iv, sizeof encryptChain_);
  std::memcpy(decryptChain_, iv, sizeof decryptChain_);
  encryptor_ = encryptor.release();
  decryptor_ = decryptor.release();
  return true;
}

bool PacketCipher::Execute(unsigned char const* input, unsigned char* output,
                           unsigned long length, bool encrypt, bool verify) {
  if (!Keyed()) return false;
  auto encryptPass = [this, length](unsigned char const* in, unsigned char* out) {
    return Encrypt(in, out, length);
  };
  auto decryptPass = [this, length](unsigned char const* in, unsigned char* out) {
    return Decrypt(in, out, length);
  };
  return encrypt ? VerifiedPass(input, output, length, verify, encryptPass, decryptPass)
                 : VerifiedPass(input, output, length, verify, decryptPass, encryptPass);
}

// C0 = E(P0 ^ iv), but the context XORs the chain block in: it is given
// P0 ^ iv ^ chain instead.
bool PacketCipher::Encrypt(unsigned char const* input, unsigned char* output,
                           unsigned long length) {
  if (length == 0) return true;
  unsigned char first[kBlock];
  for (unsigned long i = 0; i < kBlock; ++i) first[i] = input[i] ^ iv_[i] ^ encryptChain_[i];
  if (!Stream(encryptor_, first, output, kBlock) ||
      !Stream(encryptor_, input + kBlock, output + kBlock, length - kBlock)) {
    Clear();  // the chain is lost
    return false;
  }
  std::memcpy(encryptChain_, output + length - kBlock, kBlock);
  return true;
}

// P0 = D(C0) ^ iv; the context gave D(C0) ^ chain.
bool PacketCipher::Decrypt(unsigned char const* input, unsigned char* output,
                           unsigned long length) {
  if (length == 0) return true;
  if (!Stream(decryptor_, input, output, length)) {
    Clear();
    return false;
  }
  for (unsigned long i = 0; i < kBlock; ++i) output[i] ^= iv_[i] ^ decryptChain_[i];
  std::memcpy(decryptChain_, input + length - kBlock, kBlock);
  return true;
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
