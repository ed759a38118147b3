#include "tests/support/daemon_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>

namespace tally_test {

DaemonProcess::~DaemonProcess() {
  // The whole group, so that no child of a wrapper keeps the pipes open.
  if (pid_ > 0) ::kill(-pid_, SIGKILL);
  if (Running()) ::waitpid(pid_, nullptr, 0);
  for (auto& reader : readers_) {
    if (reader.joinable()) reader.join();
  }
}

bool DaemonProcess::Start() {
  std::vector<std::string> args = options_.wrapper;
  args.push_back(options_.program);
  args.insert(args.end(), options_.args.begin(), options_.args.end());
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int out[2], err[2];
  if (pid_ > 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return false;
  pid_ = ::fork();
  if (pid_ == 0) {  // async-signal-safe calls only until exec
    ::setpgid(0, 0);
    ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    // Start clean, as from a shell, whatever the test process blocks or ignores.
    for (int s = 1; s < NSIG; ++s) ::signal(s, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options_.workDir.empty() || ::chdir(options_.workDir.c_str()) == 0) {
      ::execvp(argv[0], argv.data());
    }
    (void)!::write(2, "cannot chdir or exec\n", 21);
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  if (pid_ > 0) ::setpgid(pid_, pid_);  // from here too, so killing the group never misses
  readers_[0] = std::thread(&DaemonProcess::Read, this, out[0], 0);
  readers_[1] = std::thread(&DaemonProcess::Read, this, err[0], 1);
  return pid_ > 0;
}

void DaemonProcess::Read(int fd, int i) {
  char buffer[4096];
  std::size_t done = 0;  // bytes of raw_[i] already cut into lines
  for (ssize_t n = 1; n > 0;) {
    if ((n = ::read(fd, buffer, sizeof buffer)) < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> hold(mutex_);
    if (n > 0) raw_[i].append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = raw_[i].find('\n', done)) != std::string::npos ||
           (n <= 0 && (end = raw_[i].size()) > done)) {  // at the end, a last line without one
      for (int to : {i, 2}) lines_[to].push_back(raw_[i].substr(done, end - done));
      done = end + 1;
    }
    ended_ += n <= 0;
    changed_.notify_all();
  }
  ::close(fd);
}

bool DaemonProcess::WaitForLine(std::string const& text, std::chrono::milliseconds timeout,
                                Stream stream) {
  std::unique_lock<std::mutex> hold(mutex_);
  auto const& lines = lines_[static_cast<int>(stream)];
  auto const found = [&] {
    return std::any_of(lines.begin(), lines.end(),
                       [&](std::string const& line) { return line.find(text) != line.npos; });
  };
  return changed_.wait_for(hold, timeout, [&] { return found() || ended_ == 2; }) && found();
}

std::vector<std::string> DaemonProcess::Lines(Stream stream) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lines_[static_cast<int>(stream)];
}

std::string DaemonProcess::Output(Stream stream) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return stream == Stream::kAny ? raw_[0] + raw_[1] : raw_[static_cast<int>(stream)];
}

void DaemonProcess::Signal(int signal) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

int DaemonProcess::WaitExit(std::chrono::milliseconds timeout) {
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(5ms);
  }
  // Let the readers take what is still in the pipes; a grandchild holding
  // them open costs only this bound.
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait_for(hold, 5s, [&] { return ended_ == 2; });
  return exitStatus_;
}

bool DaemonProcess::Running() {
  int status = 0;
  pid_t r = 0;
  while (pid_ > 0 && !reaped_ && (r = ::waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
  }
  if (r == pid_) exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  reaped_ = reaped_ || r != 0;  // also when it is no child of ours any more
  return pid_ > 0 && !reaped_;
}

unsigned short FreeTcpPort() {
  static std::mutex mutex;
  static std::set<unsigned short> handedOut;
  std::lock_guard<std::mutex> hold(mutex);
  for (int attempt = 0; attempt < 50; ++attempt) {
    // A dual-stack wildcard bind, as the daemon's, fails if the port is taken
    // on any address of either family.
    int const fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    socklen_t length = sizeof address;
    auto* const raw = reinterpret_cast<sockaddr*>(&address);
    bool const bound = ::bind(fd, raw, length) == 0 && ::getsockname(fd, raw, &length) == 0;
    ::close(fd);
    if (bound && handedOut.insert(ntohs(address.sin6_port)).second) return ntohs(address.sin6_port);
  }
  throw std::runtime_error("no free TCP port");
}

TempDir::TempDir(std::string const& parent) : path_(parent + "/tallyd-test-XXXXXX") {
  std::filesystem::create_directories(parent);
  if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("cannot create " + path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::WriteFile(std::string const& name, std::string const& content) const {
  std::ofstream(path_ + "/" + name, std::ios::binary) << content;
  return path_ + "/" + name;
}

std::unique_ptr<DaemonProcess> StartStandaloneDaemon(unsigned short port,
                                                     std::string const& workDir,
                                                     std::vector<std::string> extra) {
  ProcessOptions options;
  options.args = {"--standalone", "--port", std::to_string(port)};
  options.args.insert(options.args.end(), extra.begin(), extra.end());
  options.workDir = workDir;
  auto daemon = std::make_unique<DaemonProcess>(options);
  if (!daemon->Start() || !daemon->WaitForLine("ServiceStart")) {
    ADD_FAILURE() << "tallyd did not start on port " << port << "\n"
                  << daemon->Output(Stream::kAny);
    return nullptr;
  }
  return daemon;
}

}  // namespace tally_test
