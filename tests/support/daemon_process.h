#pragma once

// Runs the real tallyd (or any program) as a child process for end-to-end
// tests: captures its standard output and error line by line, waits for lines
// without fixed sleeps, sends signals and collects the exit status.

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
  std::string program = TALLYD_PATH;  // path of the executable
  std::vector<std::string> args;      // argv[1..]
  std::vector<std::string> wrapper;   // e.g. {"unshare", "--mount", "--"}; prepended to argv
  std::string workDir;                // empty: inherit
  std::vector<std::string> extraEnv;  // "NAME=value" added to the environment
};

// Not thread-safe as a whole: one test thread drives it; the reader threads
// only append output under mutex_.
class DaemonProcess {
 public:
  explicit DaemonProcess(ProcessOptions options);
  // SIGKILLs the child (and its process group) if still running, reaps it,
  // and stops the reader threads.
  ~DaemonProcess();
  DaemonProcess(DaemonProcess const&) = delete;
  DaemonProcess& operator=(DaemonProcess const&) = delete;

  bool Start();  // false when fork/exec failed
  pid_t pid() const { return pid_; }

  // True once a line containing `text` has appeared on `stream` (searching all
  // lines seen so far, then waiting for new ones until `timeout`). Returns
  // false early once both streams have ended.
  bool WaitForLine(std::string const& text, std::chrono::milliseconds timeout = 10s,
                   Stream stream = Stream::kAny);
  std::vector<std::string> Lines(Stream stream = Stream::kAny) const;
  std::string Output(Stream stream) const;  // raw bytes seen so far on one stream

  void Signal(int signal);
  // The exit status (0-255), 128+n when killed by signal n, or -1 on timeout.
  // Once the child is reaped, also waits (boundedly) for the output that is
  // still in the pipes, so Output() and Lines() are complete afterwards.
  int WaitExit(std::chrono::milliseconds timeout = 20s);
  bool Running();

  // Both streams, for failure messages.
  std::string Describe() const;

 private:
  void ReaderLoop(int fd, Stream stream);
  void Append(Stream stream, char const* data, std::size_t size);
  bool CheckExited(int flags);  // waitpid; records the status once reaped
  void StopReaders();

  bool reaped_ = false;
  int pidfd_ = -1;
  int wakePipe_[2] = {-1, -1};  // written on destruction to end the readers
  bool ended_[2] = {false, false};
  std::condition_variable changed_;
  ProcessOptions options_;
  pid_t pid_ = -1;
  int exitStatus_ = -1;
  mutable std::mutex mutex_;
  std::vector<std::pair<Stream, std::string>> lines_;
  std::string partial_[2];
  std::string raw_[2];
  std::thread readers_[2];
};

// A TCP port that was free on 127.0.0.1 and ::1 a moment ago.
unsigned short FreeTcpPort();

// Whether a TCP connection to 127.0.0.1:port is accepted right now.
bool CanConnect(unsigned short port);

// A fresh directory under /tmp, removed (recursively) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  std::string const& path() const { return path_; }
  void WriteFile(std::string const& name, std::string const& content) const;

 private:
  std::string path_;
};

// Starts `tallyd --standalone --port P <extra>` in `workDir` and waits for its
// "ServiceStart" line; the returned process is running on `port`.
std::unique_ptr<DaemonProcess> StartStandaloneDaemon(unsigned short port,
                                                     std::string const& workDir,
                                                     std::vector<std::string> extra = {});

}  // namespace tally_test
