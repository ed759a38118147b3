#pragma once

// Runs the real tallyd (or any program) as a child for end-to-end tests:
// captures its output line by line, waits for lines without fixed sleeps,
// sends signals and collects the exit status.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tally_test {

using namespace std::chrono_literals;

enum class Stream { kStdout, kStderr, kAny };

struct ProcessOptions {
  std::string program = TALLYD_PATH;
  std::vector<std::string> args;     // argv[1..]
  std::vector<std::string> wrapper;  // prepended to argv, e.g. {"unshare", "--mount", "--"}
  std::string workDir;               // empty: inherit
};

// Driven by one test thread; reader threads append output under mutex_.
class DaemonProcess {
 public:
  explicit DaemonProcess(ProcessOptions options) : options_(std::move(options)) {}
  ~DaemonProcess();  // SIGKILLs the child's process group
  DaemonProcess(DaemonProcess const&) = delete;
  DaemonProcess& operator=(DaemonProcess const&) = delete;

  bool Start();  // false when fork failed; exec failures end with status 127
  pid_t pid() const { return pid_; }

  // Whether a line containing `text` appeared on `stream` within `timeout`;
  // false early once the output has ended.
  bool WaitForLine(std::string const& text, std::chrono::milliseconds timeout = 10s,
                   Stream stream = Stream::kAny);
  std::vector<std::string> Lines(Stream stream = Stream::kAny) const;
  std::string Output(Stream stream) const;  // raw bytes so far

  void Signal(int signal);
  // Exit status, 128+n when killed by signal n, -1 on timeout. Afterwards the
  // output is complete.
  int WaitExit(std::chrono::milliseconds timeout = 20s);
  bool Running();

 private:
  void Read(int fd, int stream);

  ProcessOptions options_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int exitStatus_ = -1;
  std::thread readers_[2];
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int ended_ = 0;                      // streams at their end
  std::string raw_[2];                 // per stream
  std::vector<std::string> lines_[3];  // per Stream, kAny holding all in order
};

// A TCP port that was free on every address of both families a moment ago.
unsigned short FreeTcpPort();

// A fresh directory in `parent`, removed with its content on destruction.
class TempDir {
 public:
  explicit TempDir(std::string const& parent = "/tmp");
  ~TempDir();
  std::string const& path() const { return path_; }
  // Returns the file's path.
  std::string WriteFile(std::string const& name, std::string const& content) const;

 private:
  std::string path_;
};

// `tallyd --standalone --port P <extra>` in `workDir`, once it logged
// "ServiceStart"; nullptr (with a failure added) otherwise.
std::unique_ptr<DaemonProcess> StartStandaloneDaemon(unsigned short port,
                                                     std::string const& workDir,
                                                     std::vector<std::string> extra = {});

}  // namespace tally_test
