#pragma once

// UTF-8 as the admin pages need it: AppIDs and UniqueIDs are whatever bytes
// clients sent, and one bad byte must not spoil a whole JSON or metrics page.

#include <cstddef>
#include <string_view>

namespace tally {

// Length of the well-formed UTF-8 sequence at text[at], 0 when there is none
// (a stray byte, an overlong form, a surrogate, a code point past U+10FFFF).
inline std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  auto const byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  unsigned char const lead = byte(0);
  std::size_t const length = lead < 0x80   ? 1
                             : lead < 0xC2 ? 0
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF5 ? 4
                                           : 0;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) >= 0xA0) ||
      (lead == 0xF0 && byte(1) < 0x90) || (lead == 0xF4 && byte(1) >= 0x90)) {
    return 0;
  }
  return length;
}

// Bytes at text[at] that one U+FFFD stands for when Utf8SequenceLength is 0:
// the start of a sequence cut short counts as one, as JSON serializers and
// the Unicode standard's "maximal subpart" practice have it; else one byte.
inline std::size_t Utf8InvalidLength(std::string_view text, std::size_t at) {
  auto const byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  unsigned char const lead = byte(0);
  if (lead < 0xC2 || lead > 0xF4) return 1;
  std::size_t const length = lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  unsigned char const low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
  unsigned char const high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
  std::size_t i = 1;
  while (i < length && at + i < text.size()) {
    unsigned char const next = byte(i);
    if (i == 1 ? (next < low || next > high) : (next & 0xC0) != 0x80) break;
    ++i;
  }
  return i;
}

constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace tally
