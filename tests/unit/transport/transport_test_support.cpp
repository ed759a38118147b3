#include "transport_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "server/event_log.h"
#include "transport/packet.h"

namespace transport_test {

bool WaitFor(std::function<bool()> const& done, std::chrono::milliseconds timeout) {
  auto const until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

Bytes MakeFrame(Bytes const& body) {
  Bytes frame(norla_server::kPacketHeaderSize + body.size());
  norla_server::EncodePacketHeader(frame.data(), body.size(),
                                   norla_server::PacketChecksum(body.data(), body.size()));
  std::copy(body.begin(), body.end(), frame.begin() + norla_server::kPacketHeaderSize);
  return frame;
}

Bytes DeliverableBody(std::size_t length, unsigned char seed) {
  Bytes body(length);
  for (std::size_t i = 0; i < length; ++i) body[i] = static_cast<unsigned char>(seed + i * 7);
  if (length != 0 && norla_server::PacketChecksum(body.data(), length) == 0) body[0] ^= 1;
  return body;
}

unsigned short FreePort() {
  int fd = socket(AF_INET6, SOCK_STREAM, 0);
  int off = 0;
  setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin6_port);
}

namespace {

bool IsV6(char const* address) {
  return std::strchr(address, ':') != nullptr;
}

// A socket bound to `from`: an IPv4 address, or an IPv6 one (then the client
// connects to ::1 instead of 127.0.0.1).
int BoundSocket(char const* from) {
  int fd = socket(IsV6(from) ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_storage local{};
  socklen_t length = 0;
  if (IsV6(from)) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&local);
    v6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, from, &v6->sin6_addr);
    length = sizeof *v6;
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&local);
    v4->sin_family = AF_INET;
    inet_pton(AF_INET, from, &v4->sin_addr);
    length = sizeof *v4;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0) {
    close(fd);
    return -1;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

bool ConnectTo(int fd, unsigned short port, bool v6) {
  if (fd < 0) return false;
  sockaddr_storage remote{};
  socklen_t length = 0;
  if (v6) {
    auto* address = reinterpret_cast<sockaddr_in6*>(&remote);
    address->sin6_family = AF_INET6;
    address->sin6_port = htons(port);
    address->sin6_addr = in6addr_loopback;
    length = sizeof *address;
  } else {
    auto* address = reinterpret_cast<sockaddr_in*>(&remote);
    address->sin_family = AF_INET;
    address->sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address->sin_addr);
    length = sizeof *address;
  }
  return connect(fd, reinterpret_cast<sockaddr*>(&remote), length) == 0;
}

}  // namespace

bool PortAcceptsConnections(unsigned short port) {
  LoopbackClient probe(port);
  return probe.connected();
}

LoopbackClient::LoopbackClient(unsigned short port, char const* from, When when)
    : port_(port), v6_(IsV6(from)), fd_(BoundSocket(from)) {
  if (when == kConnectNow) Connect();
}

LoopbackClient::~LoopbackClient() {
  if (fd_ >= 0) close(fd_);
}

bool LoopbackClient::Connect() {
  connected_ = ConnectTo(fd_, port_, v6_);
  return connected_;
}

bool LoopbackClient::Send(Bytes const& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool LoopbackClient::SendInPieces(Bytes const& bytes, std::size_t piece) {
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    std::size_t const count = std::min(piece, bytes.size() - at);
    if (!Send(Bytes(bytes.begin() + at, bytes.begin() + at + count))) return false;
    // Shaping the traffic, not waiting for a condition: each piece must reach
    // the server as a segment of its own.
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

Received LoopbackClient::ReadUntilClosed(std::chrono::milliseconds timeout) {
  Received received;
  auto const until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return received;
    pollfd watch{fd_, POLLIN, 0};
    if (poll(&watch, 1, static_cast<int>(left.count())) <= 0) continue;
    unsigned char buffer[2048];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) {
      received.bytes.insert(received.bytes.end(), buffer, buffer + n);
    } else if (n == 0 || errno == ECONNRESET) {
      received.closed = true;
      return received;
    } else if (errno != EINTR && errno != EAGAIN) {
      return received;
    }
  }
}

namespace {

std::mutex gLogMutex;
std::vector<std::string> gLogLines;

void CaptureLine(int /*priority*/, char const* format, ...) {
  char line[4096];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::lock_guard<std::mutex> lock(gLogMutex);
  gLogLines.emplace_back(line);
}

}  // namespace

LogCapture::LogCapture() {
  {
    std::lock_guard<std::mutex> lock(gLogMutex);
    gLogLines.clear();
  }
  norla_server::sg_syslogFunc = &CaptureLine;
}

LogCapture::~LogCapture() {
  norla_server::sg_syslogFunc = nullptr;
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(gLogMutex);
  return gLogLines;
}

bool LogCapture::WaitForLine(std::string const& line, std::chrono::milliseconds timeout) const {
  return WaitFor(
      [&] {
        auto const lines = Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
      },
      timeout);
}

std::vector<std::string> EventRecorder::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void EventRecorder::Record(std::string event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

void Gate::Block() {
  std::unique_lock<std::mutex> lock(mutex_);
  blocked_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return released_; });
}

void Gate::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = true;
  changed_.notify_all();
}

bool Gate::WaitUntilBlocked(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return blocked_; });
}

}  // namespace transport_test
