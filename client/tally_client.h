#pragma once

// One request/reply exchange with tallyd: build the request text, encrypt it,
// frame it, send it on a new TCP connection, read the reply frame, check its
// checksum, decrypt and parse it. Blocking, with one overall time limit.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "client/reply.h"
#include "protocol/protocol_constants.h"

namespace tally {

struct ClientOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = kDefaultPort;
  std::string bindAddress;  // local address to connect from; empty: any
  std::chrono::milliseconds timeout{5000};
  std::size_t bodySize = 512;  // request body length; multiple of 16, at least the text
};

enum class ExchangeError {
  kNone,
  kResolve,      // the host name did not resolve
  kConnect,      // connection refused or unreachable
  kSend,         // the request could not be written
  kNoReply,      // the daemon closed the connection without a reply
  kTimeout,      // no complete reply within the time limit
  kBadFrame,     // reply header malformed or length differs from the request's
  kBadChecksum,  // reply checksum does not match its body
  kDecrypt,      // the reply body did not decrypt
  kBadReply,     // the decrypted text is not a reply
};
char const* ExchangeErrorText(ExchangeError error);

struct ExchangeResult {
  ExchangeError error = ExchangeError::kNone;
  std::string detail;   // system error text where there is one
  TReply reply;         // valid when error is kNone
  std::string text;     // decrypted reply text, padding removed
};

// Encrypts `text` zero-padded to `bodySize` bytes (rounded up to whole blocks)
// and returns the whole frame; empty when the cipher fails.
std::vector<unsigned char> EncodeRequestFrame(std::string const& text, std::size_t bodySize);

// Encrypts `plain`, whose first `textSize` bytes are the message and the rest
// padding, into `cipher` (plain.size() bytes; a multiple of 16) and returns
// the body's CRC. The daemon drops every frame whose CRC is 0, and one body in
// 65,536 has it: then the last padding byte is changed (the daemon ignores
// padding without a colon or line break) until the CRC is not 0, and a body
// with no padding gets a block of it first, up to the frame's 1024 bytes.
// False when the cipher fails.
bool EncryptRequestBody(std::vector<unsigned char>& plain, std::size_t textSize,
                        unsigned char const* key, unsigned char const* iv,
                        std::vector<unsigned char>& cipher, std::uint16_t& checksum);

// Sends raw frame bytes and returns the raw reply bytes (header included); an
// empty result with `error` set when nothing came back.
std::vector<unsigned char> ExchangeFrame(ClientOptions const& options,
                                         std::vector<unsigned char> const& frame,
                                         ExchangeError& error, std::string& detail);

// Decodes a raw reply frame (header, checksum, cipher, text).
ExchangeResult DecodeReplyFrame(std::vector<unsigned char> const& bytes,
                                std::size_t expectedBodySize);

// Sends an arbitrary request text.
ExchangeResult SendText(ClientOptions const& options, std::string const& text);

// Builds and sends one command (norla::NorlaCommand numbering).
ExchangeResult SendCommand(ClientOptions const& options, int command, std::string const& productId,
                           std::string const& uniqueId, std::string const& appId);

}  // namespace tally
