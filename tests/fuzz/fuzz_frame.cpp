// The frame exchange and the access-list matcher against plain restatements.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transport/ip_access_list.h"
#include "transport/packet_exchange.h"

using namespace norla_server;

static void Require(bool condition) {
  if (!condition) std::abort();
}

// Flips the body, echoes it, or declines, as the body's first byte says.
static bool Answer(unsigned char* body, unsigned long length, std::string const&) {
  unsigned const kind = body[0] % 3;
  for (unsigned long i = 0; i < length && kind == 0; ++i) body[i] = ~body[i];
  return kind != 2;
}

// With `fix`, the checksum field is made right first, so the body checks are reached.
static void FuzzFrame(std::vector<unsigned char> frame, bool fix) {
  std::size_t const size = frame.size();
  std::size_t length = 0;
  std::uint16_t checksum = 0;
  if (size >= kPacketHeaderSize) DecodePacketHeader(frame.data(), length, checksum);
  unsigned char* body = frame.data() + std::min(size, kPacketHeaderSize);
  if (fix && size >= kPacketHeaderSize + length)
    EncodePacketHeader(frame.data(), length, checksum = PacketChecksum(body, length));
  TPacket reply;
  ExchangeVerdict const verdict = AnswerFrame(frame.data(), size, reply, Answer, "peer");
  using V = ExchangeVerdict;
  V const expected = size < kPacketHeaderSize                   ? V::kIncomplete
                     : length > kPacketMaxBody                  ? V::kDropTooLong
                     : checksum == 0                            ? V::kDropZeroChecksum
                     : size < kPacketHeaderSize + length        ? V::kIncomplete
                     : PacketChecksum(body, length) != checksum ? V::kDropChecksumMismatch
                     : body[0] % 3 == 2                         ? V::kDropDeclined
                                                                : V::kSendReply;
  Require(verdict == expected);
  if (verdict != V::kSendReply) return;
  // The same length, the answered body and a fresh checksum.
  frame.resize(kPacketHeaderSize + length);
  Answer(body, length, "");
  EncodePacketHeader(frame.data(), length, PacketChecksum(body, length));
  Require(FrameSize(reply) == frame.size() &&
          std::memcmp(reply.data, frame.data(), frame.size()) == 0);
}

// The matcher as plainly written, without remembering failures: exponential
// in the star count, so only consulted for small inputs.
static bool SameLetter(char a, char b) {
  return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
}

static bool PlainWildcard(char const* t, char const* p) {
  for (;; ++t, ++p) {
    if (*p == '\0') return *t == '\0';
    if (*t == '\0') return std::strspn(p, "?") == std::strlen(p) || std::strcmp(p, "*") == 0;
    if (*p == '*') {
      if (p[1] == '\0') return true;
      for (char const* i = t; *i != '\0'; ++i)
        if (SameLetter(*i, p[1]) && PlainWildcard(i, p + 1)) return true;
      return false;
    }
    if (*p != '?' && !SameLetter(*t, *p)) return false;
  }
}

// Text up to the first NUL, the pattern after it.
static void FuzzMatch(char const* data, std::size_t size) {
  std::size_t const split = strnlen(data, size);
  std::string const text(data, split);
  std::string const pattern = split < size ? std::string(data + split + 1, size - split - 1) : "";
  bool const matches = match_spec(text.c_str(), pattern.c_str());
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  Require(match_spec(upper.c_str(), pattern.c_str()) == matches);  // case never matters
  if (text.size() <= 48 && pattern.size() <= 48 &&
      std::count(pattern.begin(), pattern.end(), '*') <= 4) {
    Require(match_wildcard(text.c_str(), pattern.c_str()) ==
            PlainWildcard(text.c_str(), pattern.c_str()));
  }
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  if (size != 0 && (data[0] & 1)) FuzzMatch(reinterpret_cast<char const*>(data + 1), size - 1);
  if (size != 0 && !(data[0] & 1)) FuzzFrame({data + 1, data + size}, data[0] & 2);
  return 0;
}
