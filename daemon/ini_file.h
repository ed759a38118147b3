#pragma once

// An INI file held as a property tree. A key path is "section.key".
//
// Thread safety: read holds the lock for its whole run and get for its
// look-up, so one IniFile may be shared between threads.

#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>
#include <string>

#include "base/mutex.h"

class IniFile {
 public:
  IniFile();
  ~IniFile();
  IniFile(IniFile const&) = delete;
  IniFile& operator=(IniFile const&) = delete;

  // Replaces the tree by the file's content; a UTF-8 byte-order mark at the
  // start is skipped. On false (cannot open, does not parse: e.g. a duplicate
  // key or section) the tree is left empty.
  bool read(std::string const& path) EXCLUDES(lock_);

  // The value at the key path, or nothing when there is no such node.
  // Instantiated for std::string.
  template <typename T>
  boost::optional<T> get(std::string const& key) const EXCLUDES(lock_);

 private:
  boost::property_tree::ptree tree_ GUARDED_BY(lock_);
  mutable tally::Mutex lock_;
};
