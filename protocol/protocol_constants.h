#pragma once

// Values the daemon and its clients must agree on.

#include <cstdint>

namespace tally {

// The TCP port of the service when none is given.
constexpr std::uint16_t kDefaultPort = 14355;

// The ProductID the daemon accepts and its clients send.
constexpr char kProductId[] = "korvia7mobile";

}  // namespace tally
