#pragma once

// Open connections per peer address, so that one address cannot take every
// connection the process can hold. A session holds a KAddressCounts::Slot
// for as long as its connection is open; the slot gives its place back when
// released or destroyed, and keeps the table alive until then, so sessions
// freed after the server (with the io_context) are safe.
//
// Threads: everything runs on the thread running the io_context.

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>

namespace norla_server {

class KAddressCounts : public std::enable_shared_from_this<KAddressCounts> {
 public:
  class Slot {
   public:
    Slot() = default;
    Slot(Slot&& other) noexcept : table_(std::move(other.table_)), peer_(std::move(other.peer_)) {}
    Slot& operator=(Slot&& other) noexcept;
    ~Slot() { Release(); }

    explicit operator bool() const { return table_ != nullptr; }
    void Release();

   private:
    friend class KAddressCounts;
    Slot(std::shared_ptr<KAddressCounts> table, std::string peer)
        : table_(std::move(table)), peer_(std::move(peer)) {}

    std::shared_ptr<KAddressCounts> table_;
    std::string peer_;
  };

  // `maxPerAddress` 0 means no limit.
  static std::shared_ptr<KAddressCounts> Create(unsigned int maxPerAddress);

  // A slot for one more connection of `peer`, or an empty one when `peer`
  // already holds its maximum.
  Slot Acquire(std::string const& peer);

  // Open connections of all addresses together.
  std::size_t Total() const { return total_; }

 private:
  explicit KAddressCounts(unsigned int maxPerAddress) : max_(maxPerAddress) {}
  void Give(std::string const& peer);

  unsigned int const max_;
  std::unordered_map<std::string, unsigned int> open_;
  std::size_t total_ = 0;
};

}  // namespace norla_server
