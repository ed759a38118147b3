#include "tests/support/root_sandbox.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace tally_test {

std::vector<std::string> OverlayWrapper(std::string const& target, std::string const& scratch,
                                        std::string const& setup) {
  std::string const script = "mkdir -p '" + scratch + "/upper' '" + scratch +
                             "/work' && mount -t overlay overlay -o 'lowerdir=" + target +
                             ",upperdir=" + scratch + "/upper,workdir=" + scratch + "/work' '" +
                             target + "' || exit 97\n" + setup + "\nexec \"$@\"";
  return {"unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c", script, "sh"};
}

std::string OverlayUnavailableReason(std::string const& target) {
  if (::geteuid() != 0) return "needs root for a private mount namespace";
  TempDir scratch;
  ProcessOptions options;
  options.program = "/bin/true";
  options.wrapper = OverlayWrapper(target, scratch.path(), "");
  DaemonProcess probe(options);
  int const status = probe.Start() ? probe.WaitExit() : -1;
  if (status == 0) return "";
  return "an overlay over " + target + " failed in a private mount namespace (status " +
         std::to_string(status) + "): " + probe.Output(Stream::kStderr);
}

std::string ReadFileText(std::string const& path) {
  std::stringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

}  // namespace tally_test
