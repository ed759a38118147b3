#pragma once

// An INI file held as a property tree. A key path is "section.key".
//
// Thread safety: read and write hold the lock for their whole run; get, exist
// and put take no lock, so a caller sharing one IniFile between threads must
// not mix them with read or write on another thread.

#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/thread/mutex.hpp>
#include <string>

class IniFile {
 public:
  IniFile();
  ~IniFile();
  IniFile(IniFile const&) = delete;
  IniFile& operator=(IniFile const&) = delete;

  // Replaces the tree by the file's content; a UTF-8 byte-order mark at the
  // start is skipped. On false (cannot open, does not parse: e.g. a duplicate
  // key or section) the tree is left empty.
  bool read(std::string const& path);

  // The value at the key path, or nothing when there is no such node.
  // Instantiated for std::string.
  template <typename T>
  boost::optional<T> get(std::string const& key) const;

  // Whether "section.name" names a present key; false for a key without '.'.
  bool exist(std::string const& key) const;

  // Sets the value at the key path, creating the path when needed.
  // Instantiated for int (written in decimal) and std::string.
  template <typename T>
  void put(std::string const& key, T const& value);

  // Writes the whole tree as INI, creating or replacing the file. False when
  // the file cannot be written or the tree is deeper than section and key.
  bool write(std::string const& path);

 private:
  boost::property_tree::ptree tree_;
  boost::mutex lock_;
};
