#pragma once

// Usage read straight from the daemon's state file, in the shape of the admin
// interface's answer, so `tallyctl report` works while the daemon is down.

#include <cstdint>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

namespace tallyctl {

class StateFileUsage {
 public:
  // Periods of `step` seconds over [from, to) and the total; false with `error`.
  static bool Read(std::string const& path, std::time_t from, std::time_t to, std::int64_t step,
                   nlohmann::ordered_json& usage, std::string& error);
};

}  // namespace tallyctl
