#pragma once

// The packet cipher: AES-128-CBC, no padding, one key and IV for every message.

struct evp_cipher_ctx_st;

namespace norla {

// Stored key tables, 16 x87 extended values each (16-byte slots), generated at
// configure time. See NorlaDecodeEncryptionKey.
extern const long double gafAESKey[16];
extern const long double gafAESInitVec[16];

// Encrypts (encrypt true) or decrypts `length` bytes (a multiple of 16) from
// `input` to `output`, chaining from `iv`, which is left untouched. The buffers
// must not overlap. With `verify`, the inverse pass must give `input` back.
// False on any failure (null key or IV, bad length, verification mismatch).
bool NorlaAESExecute(unsigned char const* input, unsigned char* output, unsigned long length,
                     unsigned char const* key, unsigned char const* iv, bool encrypt, bool verify);

// AES-128-CBC keyed once: one context per direction keeps its key schedule
// and is never reset. Setting up a context per pass, or only its IV, goes
// through OpenSSL's parameter handling, which cost more than the cipher work
// on a 512-byte body. Instead each context runs as one endless CBC stream:
// it chains from the last cipher block it saw, and the first block of a pass
// is corrected for the difference between that block and the IV, which gives
// the bytes of a pass begun from the IV. Not safe for concurrent use; the
// owner serialises calls. A failed pass leaves the object unkeyed. The
// contexts hold the key until destruction, when OpenSSL cleanses them.
class PacketCipher {
 public:
  PacketCipher() = default;
  ~PacketCipher();
  PacketCipher(PacketCipher const&) = delete;
  PacketCipher& operator=(PacketCipher const&) = delete;

  // False (and not keyed) when OpenSSL fails.
  bool SetKey(unsigned char const (&key)[16], unsigned char const (&iv)[16]);
  bool Keyed() const { return encryptor_ != nullptr; }
  // As NorlaAESExecute with the key and IV given to SetKey.
  bool Execute(unsigned char const* input, unsigned char* output, unsigned long length,
               bool encrypt, bool verify);

 private:
  void Clear();
  bool Encrypt(unsigned char const* input, unsigned char* output, unsigned long length);
  bool Decrypt(unsigned char const* input, unsigned char* output, unsigned long length);

  evp_cipher_ctx_st* encryptor_ = nullptr;
  evp_cipher_ctx_st* decryptor_ = nullptr;
  unsigned char iv_[16] = {};
  // The block each context chains from next: the last cipher block it wrote
  // (encryptor) or read (decryptor); the IV before the first pass.
  unsigned char encryptChain_[16] = {};
  unsigned char decryptChain_[16] = {};
};

// Builds the packet key and IV from the stored tables, each byte by
// DecodeKeyEntry.
void NorlaDecodeEncryptionKey(unsigned char (&key)[16], unsigned char (&iv)[16]);

// The packet key and IV for the life of one object: built from the stored
// tables, wiped when it goes, so they never linger in freed memory.
struct PacketKey {
  unsigned char key[16];
  unsigned char iv[16];
  PacketKey() { NorlaDecodeEncryptionKey(key, iv); }
  ~PacketKey();
  PacketKey(PacketKey const&) = delete;
  PacketKey& operator=(PacketKey const&) = delete;
};

// One stored entry to its byte: negated, truncated toward zero, cut to int16,
// low 8 bits.
unsigned char DecodeKeyEntry(long double entry);

}  // namespace norla
