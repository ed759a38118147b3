#pragma once

// Fixtures that need root: a configuration directory under /etc/opt, and
// files laid over system paths in a private mount namespace nobody else sees.

#include <string>
#include <vector>

#include "tests/support/daemon_process.h"

namespace tally_test {

// /etc/opt/tallyd-test-XXXXXX holding tallyd.conf.
struct ConfigDataDir : TempDir {
  explicit ConfigDataDir(std::string const& content) : TempDir("/etc/opt") {
    WriteFile("tallyd.conf", content);
  }
  std::string name() const { return path().substr(9); }  // the --datadir value
  std::string configPath() const { return path() + "/tallyd.conf"; }
};

// A ProcessOptions::wrapper that, in a fresh private mount namespace, lays a
// writable overlay over `target` (new files go under `scratch`), runs the
// shell `setup` and then the wrapped program.
std::vector<std::string> OverlayWrapper(std::string const& target, std::string const& scratch,
                                        std::string const& setup);

// Empty when OverlayWrapper works over `target` here; otherwise why not.
std::string OverlayUnavailableReason(std::string const& target);

std::string ReadFileText(std::string const& path);  // "" when unreadable

}  // namespace tally_test
