#pragma once

// Fixed names and tags that should not stand in the binary as plain text
// (the configuration's names, the wire tags). Obscure runs only in constant
// evaluation, so the plain text never reaches the object file; Reveal builds
// it at run time.
//
//   constexpr auto kName = tally::Obscure("name");
//   std::string name = tally::Reveal(kName);

#include <array>
#include <cstddef>
#include <string>

namespace tally {

template <std::size_t N>
struct ObscuredText {
  std::array<unsigned char, N - 1> bytes{};
};

constexpr unsigned char ObscuringByte(std::size_t i) {
  return static_cast<unsigned char>(0xA7 ^ (i * 29 + 11));
}

template <std::size_t N>
constexpr ObscuredText<N> Obscure(char const (&plain)[N]) {
  ObscuredText<N> text;
  for (std::size_t i = 0; i + 1 < N; ++i) {
    text.bytes[i] =
        static_cast<unsigned char>(static_cast<unsigned char>(plain[i]) ^ ObscuringByte(i));
  }
  return text;
}

template <std::size_t N>
std::string Reveal(ObscuredText<N> const& text) {
  std::string plain(text.bytes.size(), '\0');
  for (std::size_t i = 0; i < text.bytes.size(); ++i) {
    plain[i] = static_cast<char>(text.bytes[i] ^ ObscuringByte(i));
  }
  return plain;
}

}  // namespace tally
