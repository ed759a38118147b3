#include "transport/address_counts.h"

namespace norla_server {

KAddressCounts::Slot& KAddressCounts::Slot::operator=(Slot&& other) noexcept {
  if (this != &other) {
    Release();
    table_ = std::move(other.table_);
    peer_ = std::move(other.peer_);
  }
  return *this;
}

void KAddressCounts::Slot::Release() {
  if (!table_) return;
  table_->Give(peer_);
  table_.reset();
}

std::shared_ptr<KAddressCounts> KAddressCounts::Create(unsigned int maxPerAddress) {
  return std::shared_ptr<KAddressCounts>(new KAddressCounts(maxPerAddress));
}

KAddressCounts::Slot KAddressCounts::Acquire(std::string const& peer) {
  unsigned int& open = open_[peer];
  if (max_ != 0 && open >= max_) return Slot();
  ++open;
  ++total_;
  return Slot(shared_from_this(), peer);
}

// Entries go when their last connection does, so the table holds only the
// addresses with open connections.
void KAddressCounts::Give(std::string const& peer) {
  auto const entry = open_.find(peer);
  if (entry == open_.end()) return;
  --total_;
  if (--entry->second == 0) open_.erase(entry);
}

}  // namespace norla_server
