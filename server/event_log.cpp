#include "server/event_log.h"

#include <netdb.h>
#include <syslog.h>

#include <cstdio>
#include <memory>

// Asio's fences are not modelled by GCC's thread sanitizer; it says so for
// every include of its headers.
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "server/log_stream.h"

namespace norla_server {

std::atomic<SyslogFunc> sg_syslogFunc{nullptr};

namespace {

constexpr std::size_t kHostNameMax = 253;

bool ParseIpAddress(std::string const& text, boost::asio::ip::address& address) {
  boost::system::error_code error;
  boost::asio::ip::address_v6 v6 = boost::asio::ip::make_address_v6(text, error);
  if (!error) {
    address = v6;
    return true;
  }
  boost::asio::ip::address_v4 v4 = boost::asio::ip::make_address_v4(text, error);
  if (!error) {
    address = v4;
    return true;
  }
  return false;
}

}  // namespace

bool IsIpAddressText(std::string const& text) {
  boost::asio::ip::address address;
  return ParseIpAddress(text, address);
}

// getnameinfo directly rather than through Asio's resolver: the resolver asks
// twice (service by name, then by number), doubling every stall of a dead DNS
// server. Without NI_NAMEREQD an address with no name yields its numeric form.
std::string GetReverseLookup(std::string const& address) {
  try {
    boost::asio::ip::address ip;
    if (!ParseIpAddress(address, ip)) return {};
    boost::asio::ip::tcp::endpoint endpoint(ip, 0);
    char host[NI_MAXHOST] = {};
    if (getnameinfo(endpoint.data(), static_cast<socklen_t>(endpoint.size()), host, sizeof host,
                    nullptr, 0, NI_NUMERICSERV) != 0) {
      return {};
    }
    return host;
  } catch (...) {
  }
  return {};
}

bool IsValidHostName(std::string const& name) {
  if (name.empty() || name.size() > kHostNameMax) return false;
  for (unsigned char const c : name) {
    bool const alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-' && c != '_' && c != '.') return false;
  }
  return true;
}

std::string FormatEventLine(std::string const& event, std::string const& address,
                            std::string const& host, int count) {
  std::string line = event;
  if (!address.empty()) {
    line += " : ";
    line += address;
    if (!host.empty() && host != address) {
      line += " (";
      line += host;
      line += ")";
    }
  }
  if (count >= 0) {
    char text[100];
    std::snprintf(text, sizeof text, "Current clients : %d", count);
    line += ", ";
    line += text;
  }
  return line;
}

void WriteEventLine(std::string const& line) {
  SyslogFunc sink = sg_syslogFunc.load();
  if (sink == nullptr) sink = &syslog;
  sink(LOG_INFO, "%s", line.c_str());
}

bool OutputLog(char const* source, char const* event, int count, char const* address,
               bool /*flag*/) {
  return OutputLogAt(LOG_INFO, source, event, count, address);
}

bool OutputLogAt(int priority, char const* source, char const* event, int count,
                 char const* address) {
  if (source == nullptr || event == nullptr) return false;
  std::string addressText = address != nullptr ? address : "";
  if (priority == LOG_INFO) {
    if (LogStream::Process().PostEvent(event, addressText, count)) return true;
    WriteEventLine(FormatEventLine(event, addressText, std::string(), count));
    return true;
  }
  // Lines above info carry no host name: they report the service, not a peer.
  std::string line = FormatEventLine(event, addressText, std::string(), count);
  if (LogStream::Process().PostText(priority, line)) return true;
  SyslogFunc sink = sg_syslogFunc.load();
  (sink != nullptr ? sink : &syslog)(priority, "%s", line.c_str());
  return true;
}

}  // namespace norla_server
