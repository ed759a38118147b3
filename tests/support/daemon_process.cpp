#include "tests/support/daemon_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

extern char** environ;

namespace tally_test {

namespace {

int Index(Stream stream) {
  return stream == Stream::kStderr ? 1 : 0;
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

int StatusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return -1;
}

// The environment for the child: ours, with `extra` added or replaced.
std::vector<std::string> ChildEnvironment(std::vector<std::string> const& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string const entry(*e);
    std::string const name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (auto const& x : extra) replaced |= x.substr(0, x.find('=')) == name;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Between fork and exec only async-signal-safe calls are allowed.
[[noreturn]] void RunChild(int out, int err, int status, char const* workDir, char* const* argv,
                           char* const* envp) {
  ::setpgid(0, 0);
  int const null = ::open("/dev/null", O_RDONLY);
  if (null >= 0) ::dup2(null, 0);
  ::dup2(out, 1);
  ::dup2(err, 2);
  // The test process may hold signals blocked or ignored; the child starts
  // clean, as it would from a shell.
  for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (workDir[0] != '\0' && ::chdir(workDir) != 0) {
    int const error = errno;
    (void)!::write(status, &error, sizeof error);
    ::_exit(127);
  }
  ::execvpe(argv[0], argv, envp);
  int const error = errno;
  (void)!::write(status, &error, sizeof error);
  ::_exit(127);
}

}  // namespace

DaemonProcess::DaemonProcess(ProcessOptions options) : options_(std::move(options)) {}

DaemonProcess::~DaemonProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    CheckExited(0);
  }
  StopReaders();
  CloseFd(pidfd_);
}

bool DaemonProcess::Start() {
  if (pid_ > 0) return false;
  std::vector<std::string> args = options_.wrapper;
  args.push_back(options_.program);
  args.insert(args.end(), options_.args.begin(), options_.args.end());
  std::vector<std::string> env = ChildEnvironment(options_.extraEnv);
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);

  int out[2], err[2], status[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    CloseFd(out[0]), CloseFd(out[1]);
    return false;
  }
  if (::pipe2(status, O_CLOEXEC) != 0 || ::pipe2(wakePipe_, O_CLOEXEC) != 0) {
    for (int* fd : {&out[0], &out[1], &err[0], &err[1], &status[0], &status[1]}) CloseFd(*fd);
    return false;
  }

  pid_t const child = ::fork();
  if (child == 0) {
    RunChild(out[1], err[1], status[1], options_.workDir.c_str(), argv.data(), envp.data());
  }
  CloseFd(out[1]);
  CloseFd(err[1]);
  CloseFd(status[1]);
  if (child < 0) {
    for (int* fd : {&out[0], &err[0], &status[0]}) CloseFd(*fd);
    return false;
  }
  pid_ = child;
  ::setpgid(child, child);  // also from here, so a kill of the group never misses

  int execError = 0;
  ssize_t n;
  while ((n = ::read(status[0], &execError, sizeof execError)) < 0 && errno == EINTR) {
  }
  CloseFd(status[0]);

  readers_[0] = std::thread(&DaemonProcess::ReaderLoop, this, out[0], Stream::kStdout);
  readers_[1] = std::thread(&DaemonProcess::ReaderLoop, this, err[0], Stream::kStderr);
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  if (n > 0) {  // chdir or exec failed in the child
    CheckExited(0);
    return false;
  }
  return true;
}

void DaemonProcess::ReaderLoop(int fd, Stream stream) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
  char buffer[4096];
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      ssize_t const n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        Append(stream, buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      break;  // end of stream
    }
    if (fds[1].revents != 0) {
      // Told to stop: take what is already in the pipe, then leave even if a
      // grandchild still holds the write end.
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        Append(stream, buffer, static_cast<std::size_t>(n));
      }
      break;
    }
  }
  ::close(fd);
  std::lock_guard<std::mutex> hold(mutex_);
  int const i = Index(stream);
  if (!partial_[i].empty()) {
    lines_.emplace_back(stream, partial_[i]);
    partial_[i].clear();
  }
  ended_[i] = true;
  changed_.notify_all();
}

void DaemonProcess::Append(Stream stream, char const* data, std::size_t size) {
  std::lock_guard<std::mutex> hold(mutex_);
  int const i = Index(stream);
  raw_[i].append(data, size);
  partial_[i].append(data, size);
  std::size_t start = 0;
  for (std::size_t end; (end = partial_[i].find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines_.emplace_back(stream, partial_[i].substr(start, end - start));
  }
  partial_[i].erase(0, start);
  changed_.notify_all();
}

void DaemonProcess::StopReaders() {
  if (wakePipe_[1] >= 0) (void)!::write(wakePipe_[1], "x", 1);
  for (auto& reader : readers_) {
    if (reader.joinable()) reader.join();
  }
  CloseFd(wakePipe_[0]);
  CloseFd(wakePipe_[1]);
}

bool DaemonProcess::WaitForLine(std::string const& text, std::chrono::milliseconds timeout,
                                Stream stream) {
  auto const found = [&] {
    for (auto const& [from, line] : lines_) {
      if ((stream == Stream::kAny || from == stream) && line.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  std::unique_lock<std::mutex> hold(mutex_);
  bool const seen =
      changed_.wait_for(hold, timeout, [&] { return found() || (ended_[0] && ended_[1]); });
  return seen && found();
}

std::vector<std::string> DaemonProcess::Lines(Stream stream) const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::string> lines;
  for (auto const& [from, line] : lines_) {
    if (stream == Stream::kAny || from == stream) lines.push_back(line);
  }
  return lines;
}

std::string DaemonProcess::Output(Stream stream) const {
  std::lock_guard<std::mutex> hold(mutex_);
  if (stream == Stream::kAny) return raw_[0] + raw_[1];
  return raw_[Index(stream)];
}

std::string DaemonProcess::Describe() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return "--- stdout ---\n" + raw_[0] + "\n--- stderr ---\n" + raw_[1];
}

void DaemonProcess::Signal(int signal) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

bool DaemonProcess::CheckExited(int flags) {
  if (reaped_) return true;
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r;
  while ((r = ::waitpid(pid_, &status, flags)) < 0 && errno == EINTR) {
  }
  if (r == pid_) {
    exitStatus_ = StatusOf(status);
    reaped_ = true;
  } else if (r < 0) {
    reaped_ = true;  // not our child any more: nothing left to wait for
  }
  return reaped_;
}

int DaemonProcess::WaitExit(std::chrono::milliseconds timeout) {
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  while (!CheckExited(WNOHANG)) {
    auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    if (pidfd_ >= 0) {
      pollfd fd{pidfd_, POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(left.count()));
    } else {
      std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
    }
  }
  // What the child wrote before it ended is in the pipes; wait for the readers
  // to take it. A grandchild holding a pipe open only costs this bound.
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait_for(hold, 5s, [&] { return ended_[0] && ended_[1]; });
  return exitStatus_;
}

bool DaemonProcess::Running() {
  return pid_ > 0 && !CheckExited(WNOHANG);
}

unsigned short FreeTcpPort() {
  static std::mutex mutex;
  static std::set<unsigned short> handedOut;
  std::lock_guard<std::mutex> hold(mutex);
  for (int attempt = 0; attempt < 50; ++attempt) {
    // A dual-stack wildcard bind is refused if the port is taken on any
    // address of either family, which is what the daemon will bind.
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    unsigned short port = 0;
    if (fd >= 0) {
      int off = 0;
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      address.sin6_addr = in6addr_any;
      socklen_t length = sizeof address;
      if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin6_port);
      }
      ::close(fd);
    }
    if (port == 0) {
      fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) break;
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof address;
      if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
      }
      ::close(fd);
    }
    if (port != 0 && handedOut.insert(port).second) return port;
  }
  throw std::runtime_error("no free TCP port");
}

bool CanConnect(unsigned short port) {
  int const fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool const connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

TempDir::TempDir() {
  char name[] = "/tmp/tallyd-test-XXXXXX";
  if (::mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void TempDir::WriteFile(std::string const& name, std::string const& content) const {
  std::ofstream file(path_ + "/" + name, std::ios::binary | std::ios::trunc);
  file << content;
  if (!file.flush()) throw std::runtime_error("cannot write " + path_ + "/" + name);
}

std::unique_ptr<DaemonProcess> StartStandaloneDaemon(unsigned short port,
                                                     std::string const& workDir,
                                                     std::vector<std::string> extra) {
  ProcessOptions options;
  options.args = {"--standalone", "--port", std::to_string(port)};
  options.args.insert(options.args.end(), extra.begin(), extra.end());
  options.workDir = workDir;
  auto daemon = std::make_unique<DaemonProcess>(options);
  if (!daemon->Start()) {
    ADD_FAILURE() << "cannot start " << options.program;
    return nullptr;
  }
  if (!daemon->WaitForLine("ServiceStart")) {
    ADD_FAILURE() << "tallyd did not start on port " << port << "\n" << daemon->Describe();
    return nullptr;
  }
  return daemon;
}

}  // namespace tally_test
