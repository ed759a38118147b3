#include "daemon/data_dir.h"

#include <array>
#include <cstddef>

std::string g_data_dir_specified;
std::string g_data_dir;

namespace {

// A name XOR'd with a position-dependent key. Scramble runs only in constant
// evaluation, so the plain text never reaches the object file.
template <std::size_t N>
struct ScrambledName {
  std::array<unsigned char, N - 1> bytes{};
};

constexpr unsigned char KeyByte(std::size_t i) {
  return static_cast<unsigned char>(0xA7 ^ (i * 29 + 11));
}

template <std::size_t N>
constexpr ScrambledName<N> Scramble(char const (&plain)[N]) {
  ScrambledName<N> name;
  for (std::size_t i = 0; i + 1 < N; ++i) {
    name.bytes[i] = static_cast<unsigned char>(static_cast<unsigned char>(plain[i]) ^ KeyByte(i));
  }
  return name;
}

template <std::size_t N>
std::string Unscramble(ScrambledName<N> const& name) {
  std::string plain(name.bytes.size(), '\0');
  for (std::size_t i = 0; i < name.bytes.size(); ++i) {
    plain[i] = static_cast<char>(name.bytes[i] ^ KeyByte(i));
  }
  return plain;
}

constexpr auto kDataDirName = Scramble("tallyd");
constexpr auto kConfigFileName = Scramble("tallyd.conf");

}  // namespace

std::string DefaultDataDirName() {
  return Unscramble(kDataDirName);
}

std::string ConfigFileName() {
  return Unscramble(kConfigFileName);
}

void SettleDataDir() {
  g_data_dir = g_data_dir_specified.empty() ? DefaultDataDirName() : g_data_dir_specified;
}

std::string ConfigFilePath(std::string const& dataDir) {
  return std::string(kConfigRoot) + "/" + dataDir + "/" + ConfigFileName();
}
