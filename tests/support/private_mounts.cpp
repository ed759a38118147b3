#include "tests/support/private_mounts.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/daemon_process.h"

namespace tally_test {

std::vector<std::string> PrivateMountWrapper(std::string const& setup) {
  return {"unshare", "--mount", "--propagation",         "private",          "--",
          "/bin/sh", "-c",      setup + "\nexec \"$@\"", "tallyd-test-setup"};
}

std::string OverlayCommand(std::string const& target, std::string const& scratch) {
  return "mkdir -p '" + scratch + "/upper' '" + scratch +
         "/work' && mount -t overlay overlay -o '" + "lowerdir=" + target + ",upperdir=" + scratch +
         "/upper,workdir=" + scratch + "/work' '" + target + "' || exit 97";
}

std::string OverlayUnavailableReason(std::string const& target) {
  if (::geteuid() != 0) return "needs root for a private mount namespace";
  if (::access("/usr/bin/unshare", X_OK) != 0) return "unshare is not installed";
  TempDir scratch;
  ProcessOptions options;
  options.program = "/bin/true";
  options.wrapper = PrivateMountWrapper(OverlayCommand(target, scratch.path()));
  DaemonProcess probe(options);
  if (!probe.Start()) return "cannot run unshare";
  int const status = probe.WaitExit();
  if (status != 0) {
    return "an overlay mount over " + target + " failed in a private mount namespace (status " +
           std::to_string(status) + "): " + probe.Output(Stream::kStderr);
  }
  return "";
}

std::string ReadFileText(std::string const& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

bool WaitForFileText(std::string const& path, std::string const& text,
                     std::chrono::milliseconds timeout) {
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (ReadFileText(path).find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace tally_test
