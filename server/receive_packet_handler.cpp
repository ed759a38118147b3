#include "server/receive_packet_handler.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <boost/thread/lock_guard.hpp>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <syslog.h>

#include "server/event_log.h"
#include "server/memory_client_table.h"
#include "transport/packet_cipher.h"

namespace norla_server {

using namespace tally_protocol;

namespace {

constexpr std::size_t kBufferSize = 512;

// The reply tag, one number per character, kept out of the binary's strings.
constexpr unsigned char kReplyTag[9] = {0x0e, 0x1b, 0x16, 0x16, 0x03, 0x08, 0x0a, 0x16, 0x6b};
constexpr unsigned char kReplyTagMask = 0x5a;

std::string ReplyTag() {
  std::string tag;
  for (unsigned char c : kReplyTag) tag.push_back(static_cast<char>(c ^ kReplyTagMask));
  return tag;
}

// Fetched once, as an implicit fetch per digest is a provider lookup under a
// lock. Kept for the life of the process.
EVP_MD const* Md5() {
  static EVP_MD const* const md5 = [] {
    EVP_MD const* fetched = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return fetched != nullptr ? fetched : EVP_md5();
  }();
  return md5;
}

std::string Md5Hex(std::string const& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &size, Md5(), nullptr) != 1) {
    throw std::runtime_error("MD5 digest failed");
  }
  static char const kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0x0f]);
  }
  return hex;
}

int CountOf(std::size_t size) {
  return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

char const* EventText(TableEvent event) {
  switch (event) {
    case TableEvent::kConnect: return "Connect";
    case TableEvent::kDisconnect: return "Disconnect";
    case TableEvent::kTimeout: return "Disconnect(Timeout)";
    case TableEvent::kRegisterFull: return "Register full";
    case TableEvent::kRegisterRoom: return "Register has room again";
    case TableEvent::kNone: break;
  }
  return "";
}

// A full register turns clients away: an operator must see it in error-only views.
void LogRegisterLine(TableEvent event, std::size_t count) {
  if (event == TableEvent::kNone) return;
  int const priority = event == TableEvent::kRegisterFull ? LOG_ERR : LOG_INFO;
  OutputLogAt(priority, "", EventText(event), CountOf(count), "");
}

ReplyCode ReplyFor(TableResult result) {
  switch (result) {
    case TableResult::kNotFound: return kReplyNotRegistered;
    case TableResult::kFull: return kReplyRegisterFull;
    default: return kReplyOk;
  }
}

}  // namespace

KReceivePacketHandler::KReceivePacketHandler(char const* productsText)
    : clock_([] { return std::time(nullptr); }) {
  if (productsText == nullptr) throw std::invalid_argument("no product list");
  std::string text = productsText;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) products.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  MemoryClientTable::Clocks clocks;
  clocks.wall = [this] { return Now(); };
  // Null until a test sets one: the table's steady_clock then.
  clocks.monotonic = [this]() -> std::int64_t {
    if (monotonicClock_) return monotonicClock_();
    using namespace std::chrono;
    return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
  };
  table_ = std::make_unique<MemoryClientTable>(std::move(clocks));
  table_->SetListener(this);
  table_->SetLimits(timeoutSeconds_, maxClients_);
}

KReceivePacketHandler::~KReceivePacketHandler() {
  if (!logServiceEnd_) return;
  try {
    OutputLog("", "ServiceEnd", CountOf(table_->Count()), "", false);
  } catch (...) {
  }
}

bool KReceivePacketHandler::operator()(unsigned char* body, unsigned long length,
                                       std::string const& peer) {
  boost::lock_guard<boost::mutex> requestLock(requestMutex);
  if (!cipher_.Keyed()) {
    // The key then lives only in the contexts; the decoded copy is wiped.
    norla::PacketKey packetKey;
    if (!cipher_.SetKey(packetKey.key, packetKey.iv)) return false;
  }
  currentPeer = peer;
  std::size_t used = std::min<std::size_t>(length, kBufferSize);

  unsigned char input[kBufferSize] = {};
  unsigned char output[kBufferSize] = {};
  if (used > 0) std::memcpy(input, body, used);
  if (!cipher_.Execute(input, output, kBufferSize, false, true)) return false;
  ReplyCode code = ParsePacket(std::string_view(reinterpret_cast<char const*>(output), used), peer);
  currentPeer.clear();

  std::string reply = MakeReply(code);
  unsigned char plain[kBufferSize] = {};
  unsigned char cipher[kBufferSize] = {};
  std::memcpy(plain, reply.data(), std::min(reply.size(), kBufferSize));
  if (!cipher_.Execute(plain, cipher, kBufferSize, true, true)) return false;
  if (used > 0) std::memcpy(body, cipher, used);
  return true;
}

ReplyCode KReceivePacketHandler::ParsePacket(std::string_view text, std::string const& peer) {
  ReplyCode code = ParseRequest(text, peer, request_);
  return code != kReplyOk ? code : ProcessCommand(request_);
}

ReplyCode KReceivePacketHandler::ProcessCommand(Request const& request) {
  if (request.word1 != "NORLA") return kReplyNotNorla;
  if (request.command == Command::kPing) {
    if (INorlaEventHandler* handler = eventHandler) handler->OnPing();
    return kReplyOk;
  }
  // Refused requests identify themselves too: their reply hashes these.
  productId = request.productId;
  uniqueId = request.uniqueId;
  appId = request.appId;
  ReplyCode code = ValidateRequest(request, products, Now());
  return code != kReplyOk ? code : ExecuteCommand(request);
}

ReplyCode KReceivePacketHandler::ExecuteCommand(Request const& request) {
  switch (request.command) {
    case Command::kLogin:
    case Command::kAlive:
      return ReplyFor(table_->RegisterOrRenew(request.uniqueId, request.appId, request.peer,
                                              request.command == Command::kLogin)
                          .result);
    case Command::kExit:
      return ReplyFor(table_->Leave(request.uniqueId, request.appId).result);
    default:
      return kReplyUnknownCommand;
  }
}

void KReceivePacketHandler::OnChanged(std::string const& unique, std::string const& app,
                                      TableOutcome const& outcome) {
  if (INorlaEventHandler* handler = eventHandler) {
    char const* u = unique.c_str();
    char const* a = app.c_str();
    switch (outcome.result) {
      case TableResult::kCreated: handler->OnLogin(u, a); break;
      case TableResult::kRenewed: handler->OnAlive(u, a); break;
      case TableResult::kCountedUp: handler->OnCountUp(u, a); break;
      case TableResult::kCountedDown: handler->OnCountDown(u, a); break;
      case TableResult::kRemoved: handler->OnLogout(u, a, false); break;
      case TableResult::kNotFound:
      case TableResult::kFull: break;
    }
  }
  TableLine const& line = outcome.line;
  if (line.event != TableEvent::kNone) {
    Log(line.uniqueId.c_str(), EventText(line.event), CountOf(line.count), line.peer.c_str(),
        false);
  }
  LogRegisterLine(outcome.registerLine, outcome.count);
}

void KReceivePacketHandler::OnExpiring(std::string const& unique) {
  if (INorlaEventHandler* handler = eventHandler) handler->OnKilled(unique.c_str());
}

// Straight to OutputLog: currentPeer belongs to a request that may be in
// flight on the server thread, and these lines are never decorated.
void KReceivePacketHandler::OnSwept(std::vector<TableLine> const& lines) {
  for (TableLine const& line : lines) {
    if (line.event == TableEvent::kTimeout) {
      OutputLog(line.uniqueId.c_str(), EventText(line.event), CountOf(line.count),
                line.peer.c_str(), false);
    } else {
      LogRegisterLine(line.event, line.count);
    }
  }
}

std::string KReceivePacketHandler::MakeReply(ReplyCode code) {
  char status[32];
  std::snprintf(status, sizeof status, " %d\r\n\r\n", static_cast<int>(code));
  std::string reply = ReplyTag() + status;
  reply += "Version: 1.00\r\n";
  reply += "Hash: " + Md5Hex(uniqueId + appId) + "\r\n";
  char countLine[64];
  std::snprintf(countLine, sizeof countLine, "CurrentClients: %lu\r\n",
                static_cast<unsigned long>(table_->Count()));
  reply += countLine;

  for (auto const& param : extParams) reply += param.first + ": " + param.second + "\r\n";
  return reply;
}

void KReceivePacketHandler::UpdateClients() { table_->SweepExpired(); }

bool KReceivePacketHandler::Log(char const* source, char const* event, int count,
                                char const* address, bool flag) {
  std::string text = address != nullptr ? address : "";
  if (!text.empty() && !currentPeer.empty() && text != currentPeer) {
    text += "(" + currentPeer + ")";
  }
  return OutputLog(source, event, count, text.c_str(), flag);
}

void KReceivePacketHandler::SetTimeoutSeconds(std::uint64_t seconds) {
  timeoutSeconds_ = seconds;
  table_->SetLimits(timeoutSeconds_, maxClients_);
}

void KReceivePacketHandler::SetMaxClients(std::uint64_t maxClients) {
  maxClients_ = maxClients;
  table_->SetLimits(timeoutSeconds_, maxClients_);
}

bool KReceivePacketHandler::SetExtParams(char const* text) {
  boost::lock_guard<boost::mutex> requestLock(requestMutex);
  return ParseExtParams(text, extParams);
}

}  // namespace norla_server
