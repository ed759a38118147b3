#include "daemon/ini_file.h"

#include <boost/property_tree/ini_parser.hpp>
#include <fstream>

IniFile::IniFile() = default;

IniFile::~IniFile() = default;

bool IniFile::read(std::string const& path) {
  boost::mutex::scoped_lock hold(lock_);
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
  return tree_.get_optional<T>(key);
}

bool IniFile::exist(std::string const& key) const {
  auto const dot = key.find('.');
  if (dot == std::string::npos) return false;
  auto const section = tree_.find(key.substr(0, dot));
  if (section == tree_.not_found()) return false;
  return section->second.count(key.substr(dot + 1)) > 0;
}

template <typename T>
void IniFile::put(std::string const& key, T const& value) {
  tree_.put(key, value);
}

bool IniFile::write(std::string const& path) {
  boost::mutex::scoped_lock hold(lock_);
  try {
    boost::property_tree::ini_parser::write_ini(path, tree_);
  } catch (std::exception const&) {
    return false;
  }
  return true;
}

template boost::optional<std::string> IniFile::get<std::string>(std::string const&) const;
template void IniFile::put<int>(std::string const&, int const&);
template void IniFile::put<std::string>(std::string const&, std::string const&);
