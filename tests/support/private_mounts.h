#pragma once

// Running a program in a private mount namespace, so a test can lay files over
// system paths (/usr/lib/sendmail, /dev/log) that nobody else sees. Needs root
// and `unshare`; UnavailableReason() says why not where it cannot work.

#include <chrono>
#include <string>
#include <vector>

namespace tally_test {

// A ProcessOptions::wrapper that runs the shell `setup` in a fresh private
// mount namespace and then executes the wrapped program in it. `setup` must
// not leave anything on the test's pipes (redirect helpers' output).
std::vector<std::string> PrivateMountWrapper(std::string const& setup);

// Shell command that lays a writable overlay over `target`; new files go to
// `scratch` (a directory on a real file system, e.g. under a TempDir).
std::string OverlayCommand(std::string const& target, std::string const& scratch);

// Empty when an overlay over `target` works in a private mount namespace here;
// otherwise the reason, for GTEST_SKIP.
std::string OverlayUnavailableReason(std::string const& target);

// Whole content of a file ("" when it cannot be read).
std::string ReadFileText(std::string const& path);

// Waits until the file holds `text` (re-reading it as it grows).
bool WaitForFileText(std::string const& path, std::string const& text,
                     std::chrono::milliseconds timeout);

}  // namespace tally_test
