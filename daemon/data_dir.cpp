#include "daemon/data_dir.h"

#include "base/obscured_text.h"

std::string g_data_dir_specified;
std::string g_data_dir;

namespace {

constexpr auto kDataDirName = tally::Obscure("tallyd");
constexpr auto kConfigFileName = tally::Obscure("tallyd.conf");

}  // namespace

std::string DefaultDataDirName() {
  return tally::Reveal(kDataDirName);
}

std::string ConfigFileName() {
  return tally::Reveal(kConfigFileName);
}

void SettleDataDir() {
  g_data_dir = g_data_dir_specified.empty() ? DefaultDataDirName() : g_data_dir_specified;
}

std::string ConfigFilePath(std::string const& dataDir) {
  return std::string(kConfigRoot) + "/" + dataDir + "/" + ConfigFileName();
}
