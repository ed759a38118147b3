#include "daemon/command_line.h"

#include <cstdlib>
#include <cstring>

namespace {

bool Is(char const* argument, char const* option) {
  return std::strcmp(argument, option) == 0;
}

}  // namespace

std::uint32_t ParsePort(char const* text) {
  auto const port = static_cast<std::uint32_t>(std::strtol(text, nullptr, 10));
  return port == 0 ? kDefaultPort : port;
}

CommandLine ScanCommandLine(int argc, char const* const* argv) {
  CommandLine line;
  if (argc >= 2) {
    line.standaloneFirst = Is(argv[1], "--standalone");
    line.testMail = Is(argv[1], "--test-mail");
  }
  for (int i = 1; i < argc; ++i) {
    if (Is(argv[i], "--standalone")) line.standaloneAnywhere = true;
  }
  for (int i = 1; i <= argc - 2; ++i) {
    if (!Is(argv[i], "--datadir")) continue;
    char const* name = argv[i + 1];
    if (std::strchr(name, '.') != nullptr || std::strchr(name, '/') != nullptr) {
      line.dataDirRefused = true;
      break;
    }
    line.dataDir = name;
  }
  for (int i = 1; i <= argc - 2; ++i) {
    if (Is(argv[i], "--port")) {
      line.port = ParsePort(argv[i + 1]);
      break;
    }
  }
  return line;
}
