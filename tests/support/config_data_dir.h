#pragma once

// A configuration data directory for the real binary: /etc/opt/<name> with a
// tallyd.conf in it, named uniquely so tests can run in parallel, and removed
// with everything in it on destruction. Needs write access to /etc/opt
// (root); check error() and skip otherwise.

#include <string>

namespace tally_test {

class ConfigDataDir {
 public:
  explicit ConfigDataDir(std::string const& configContent);
  ~ConfigDataDir();
  ConfigDataDir(ConfigDataDir const&) = delete;
  ConfigDataDir& operator=(ConfigDataDir const&) = delete;

  std::string const& error() const { return error_; }  // empty when usable
  std::string const& name() const { return name_; }    // the --datadir value
  std::string configPath() const;

 private:
  std::string name_;
  std::string error_;
  bool created_ = false;
};

// A --datadir value naming a directory that does not exist.
std::string AbsentDataDirName();

}  // namespace tally_test
