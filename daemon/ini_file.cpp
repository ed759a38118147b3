#include "daemon/ini_file.h"

#include <boost/property_tree/ini_parser.hpp>
#include <fstream>

IniFile::IniFile() = default;

IniFile::~IniFile() = default;

bool IniFile::read(std::string const& path) {
  tally::MutexLock hold(&lock_);
  tree_.clear();

  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file) return false;

  char bom[3] = {};
  file.read(bom, sizeof bom);
  bool const hasBom = file.gcount() == 3 && static_cast<unsigned char>(bom[0]) == 0xEF &&
                      static_cast<unsigned char>(bom[1]) == 0xBB &&
                      static_cast<unsigned char>(bom[2]) == 0xBF;
  if (!hasBom) {
    file.clear();
    file.seekg(0);
  }
  try {
    // The reader parses into a tree of its own and swaps it in only on success.
    boost::property_tree::ini_parser::read_ini(file, tree_);
  } catch (std::exception const&) {
    tree_.clear();
    return false;
  }
  return true;
}

template <typename T>
boost::optional<T> IniFile::get(std::string const& key) const {
  tally::MutexLock hold(&lock_);
  return tree_.get_optional<T>(key);
}

template boost::optional<std::string> IniFile::get<std::string>(std::string const&) const;
