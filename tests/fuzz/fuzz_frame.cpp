// Drives the socket-free frame exchange and the access-list matcher with
// arbitrary bytes. The first byte picks the target; the rest is its input.

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "transport/ip_access_list.h"
#include "transport/packet.h"
#include "transport/packet_exchange.h"

namespace {

using norla_server::ExchangeVerdict;

void Require(bool condition) {
  if (!condition) std::abort();
}

// Flips the body, echoes it, or declines, as the body's first byte says.
bool Answer(unsigned char* body, unsigned long length, std::string const&) {
  switch (body[0] % 3) {
    case 0:
      for (unsigned long i = 0; i < length; ++i) body[i] = static_cast<unsigned char>(~body[i]);
      return true;
    case 1:
      return true;
    default:
      return false;
  }
}

void FuzzFrame(unsigned char const* data, std::size_t size) {
  norla_server::TPacket reply;
  ExchangeVerdict const verdict = norla_server::AnswerFrame(data, size, reply, Answer, "peer");

  // Recompute the verdict from first principles and compare.
  if (size < norla_server::kPacketHeaderSize)
    return Require(verdict == ExchangeVerdict::kIncomplete);
  std::size_t length = 0;
  std::uint16_t checksum = 0;
  norla_server::DecodePacketHeader(data, length, checksum);
  if (length > norla_server::kPacketMaxBody)
    return Require(verdict == ExchangeVerdict::kDropTooLong);
  if (checksum == 0) return Require(verdict == ExchangeVerdict::kDropZeroChecksum);
  if (size < norla_server::kPacketHeaderSize + length) {
    return Require(verdict == ExchangeVerdict::kIncomplete);
  }
  unsigned char const* body = data + norla_server::kPacketHeaderSize;
  if (norla_server::PacketChecksum(body, length) != checksum) {
    return Require(verdict == ExchangeVerdict::kDropChecksumMismatch);
  }
  // A matching non-zero checksum implies a non-empty body.
  Require(length > 0);
  if (body[0] % 3 == 2) return Require(verdict == ExchangeVerdict::kDropDeclined);

  Require(verdict == ExchangeVerdict::kSendReply);
  Require(reply.bodyLength == length);
  std::size_t replyLength = 0;
  std::uint16_t replyChecksum = 0;
  norla_server::DecodePacketHeader(reply.data, replyLength, replyChecksum);
  Require(replyLength == length);
  Require(replyChecksum == norla_server::PacketChecksum(reply.body(), length));
  for (std::size_t i = 0; i < length; ++i) {
    unsigned char const expected =
        body[0] % 3 == 0 ? static_cast<unsigned char>(~body[i]) : body[i];
    Require(reply.body()[i] == expected);
  }
}

// The matcher as plainly written, without remembering failures: exponential
// in the star count, so only consulted for small inputs.
bool SameLetter(char a, char b) {
  return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
}

bool PlainWildcard(char const* t, char const* p) {
  for (;;) {
    if (*p == '\0') return *t == '\0';
    if (*t == '\0') {
      if (*p == '?') return std::strspn(p, "?") == std::strlen(p);
      if (*p == '*') return p[1] == '\0';
      return false;
    }
    if (*p == '*') {
      if (p[1] == '\0') return true;
      for (char const* i = t; *i != '\0'; ++i) {
        if (SameLetter(*i, p[1]) && PlainWildcard(i, p + 1)) return true;
      }
      return false;
    }
    if (*p != '?' && !SameLetter(*t, *p)) return false;
    ++t;
    ++p;
  }
}

void FuzzMatch(unsigned char const* data, std::size_t size) {
  // Text up to the first NUL, the pattern after it.
  std::string const input(reinterpret_cast<char const*>(data), size);
  std::size_t const split = input.find('\0');
  std::string const text = input.substr(0, split);
  std::string const pattern =
      split == std::string::npos ? std::string() : std::string(input.c_str() + split + 1);

  bool const matches = norla_server::match_spec(text.c_str(), pattern.c_str());
  Require(norla_server::match_spec(text.c_str(), "*"));

  // Case never matters.
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  Require(norla_server::match_spec(upper.c_str(), pattern.c_str()) == matches);

  // The remembering matcher agrees with the plain one wherever that one is cheap.
  if (text.size() <= 48 && pattern.size() <= 48) {
    std::size_t stars = 0;
    for (char c : pattern) stars += c == '*';
    if (stars <= 4) {
      Require(norla_server::match_wildcard(text.c_str(), pattern.c_str()) ==
              PlainWildcard(text.c_str(), pattern.c_str()));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    FuzzMatch(data + 1, size - 1);
  } else {
    FuzzFrame(data + 1, size - 1);
  }
  return 0;
}
