#include "tests/support/config_data_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace tally_test {

namespace {

constexpr char kRoot[] = "/etc/opt";

std::string UniqueName(char const* prefix) {
  static std::atomic<int> counter{0};
  return std::string(prefix) + std::to_string(::getpid()) + "-" + std::to_string(counter++);
}

}  // namespace

ConfigDataDir::ConfigDataDir(std::string const& configContent) : name_(UniqueName("tallyd-test-")) {
  // /etc/opt itself is a standard directory and is left in place.
  if (::mkdir(kRoot, 0755) != 0 && errno != EEXIST) {
    error_ = std::string("cannot create ") + kRoot + ": " + std::strerror(errno);
    return;
  }
  std::string const dir = std::string(kRoot) + "/" + name_;
  if (::mkdir(dir.c_str(), 0755) != 0) {
    error_ = "cannot create " + dir + ": " + std::strerror(errno);
    return;
  }
  created_ = true;
  std::ofstream file(configPath(), std::ios::binary | std::ios::trunc);
  file << configContent;
  if (!file.flush()) error_ = "cannot write " + configPath();
}

ConfigDataDir::~ConfigDataDir() {
  if (!created_) return;
  std::error_code ignored;
  std::filesystem::remove_all(std::string(kRoot) + "/" + name_, ignored);
}

std::string ConfigDataDir::configPath() const {
  return std::string(kRoot) + "/" + name_ + "/tallyd.conf";
}

std::string AbsentDataDirName() {
  return UniqueName("tallyd-absent-");
}

}  // namespace tally_test
