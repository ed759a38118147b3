#include "server/receive_packet_handler.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "server/event_log.h"
#include "server/request_date.h"
#include "server/request_text.h"
#include "transport/packet_cipher.h"

namespace norla_server {

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

std::string FieldValue(KReceivePacketHandler::FieldMap const& fields, char const* key) {
  auto found = fields.find(key);
  return found == fields.end() ? std::string() : found->second;
}

// Key material lives only on the stack of one call and is wiped on the way out.
struct PacketKey {
  unsigned char key[16];
  unsigned char iv[16];
  PacketKey() { norla::NorlaDecodeEncryptionKey(key, iv); }
  ~PacketKey() {
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(iv, sizeof iv);
  }
};

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
}

KReceivePacketHandler::~KReceivePacketHandler() {
  if (!logServiceEnd_) return;
  try {
    OutputLog("", "ServiceEnd", CountOf(clients.size()), "", false);
  } catch (...) {
  }
}

bool KReceivePacketHandler::operator()(unsigned char* body, unsigned long length,
                                       std::string const& peer) {
  boost::lock_guard<boost::mutex> requestLock(requestMutex);
  currentPeer = peer;
  PacketKey packetKey;
  std::size_t used = std::min<std::size_t>(length, kBufferSize);

  unsigned char input[kBufferSize] = {};
  unsigned char output[kBufferSize] = {};
  if (used > 0) std::memcpy(input, body, used);
  if (!norla::NorlaAESExecute(input, output, kBufferSize, packetKey.key, packetKey.iv, false,
                              true)) {
    return false;
  }
  std::string text(reinterpret_cast<char const*>(output), used);
  int code = ParsePacket(text, peer);
  currentPeer.clear();

  std::string reply = MakeReply(code);
  unsigned char plain[kBufferSize] = {};
  unsigned char cipher[kBufferSize] = {};
  std::memcpy(plain, reply.data(), std::min(reply.size(), kBufferSize));
  if (!norla::NorlaAESExecute(plain, cipher, kBufferSize, packetKey.key, packetKey.iv, true,
                              true)) {
    return false;
  }
  if (used > 0) std::memcpy(body, cipher, used);
  return true;
}

int KReceivePacketHandler::ParsePacket(std::string& text, std::string peer) {
  std::vector<std::string> lines = SplitLines(text);
  if (lines.empty()) return 401;
  FieldMap fields = ExtractFields(lines);
  std::vector<std::string> words = SplitWords(lines.front());
  if (words.size() < 3) return 402;
  return ProcessCommand(words[0], words[1], words[2], fields, productId, uniqueId, appId,
                        std::move(peer));
}

int KReceivePacketHandler::ProcessCommand(std::string& word1, std::string& word2,
                                          std::string& /*word3*/, FieldMap& fields,
                                          std::string& productIdOut, std::string& uniqueIdOut,
                                          std::string& appIdOut, std::string peer) {
  boost::lock_guard<boost::mutex> clientsLock(clientsMutex);
  if (word1 != "NORLA") return 403;
  if (word2 == "PING") {
    if (INorlaEventHandler* handler = eventHandler) handler->OnPing();
    return 200;
  }

  productIdOut = FieldValue(fields, "ProductID");
  uniqueIdOut = FieldValue(fields, "UniqueID");
  appIdOut = FieldValue(fields, "AppID");
  if (productIdOut.empty()) return 406;
  if (uniqueIdOut.empty()) return 404;
  if (appIdOut.empty()) return 405;

  std::string date = FieldValue(fields, "Date");
  if (!date.empty()) {
    int dateCode = CheckRequestDate(date, UtcDay(Now()));
    if (dateCode != kDateOk) return dateCode;
  }
  if (std::find(products.begin(), products.end(), productIdOut) == products.end()) return 601;

  return ExecuteCommand(word2, uniqueIdOut, appIdOut, peer);
}

// Runs with clientsMutex held, after validation.
int KReceivePacketHandler::ExecuteCommand(std::string const& command,
                                          std::string const& uniqueIdValue,
                                          std::string const& appIdValue, std::string const& peer) {
  INorlaEventHandler* handler = eventHandler;
  char const* unique = uniqueIdValue.c_str();
  char const* app = appIdValue.c_str();
  bool login = command == "LOGIN";

  if (login || command == "ALIVE") {
    auto found = clients.find(uniqueIdValue);
    if (found != clients.end()) {
      found->second.lastSeen = Now();
      if (login) {
        // Saturate rather than wrap: a count of 0 would make the entry unremovable by EXIT.
        if (found->second.loginCount < UINT32_MAX) ++found->second.loginCount;
        if (handler != nullptr) handler->OnCountUp(unique, app);
      } else if (handler != nullptr) {
        handler->OnAlive(unique, app);
      }
      return 200;
    }
    clients.emplace(uniqueIdValue, TClient{appIdValue, Now(), 1, peer});
    if (handler != nullptr) handler->OnLogin(unique, app);
    Log(unique, "Connect", CountOf(clients.size()), peer.c_str(), false);
    return 200;
  }

  if (command == "EXIT") {
    auto found = clients.find(uniqueIdValue);
    if (found == clients.end()) return 303;
    if (found->second.loginCount > 1) {
      --found->second.loginCount;
      if (handler != nullptr) handler->OnCountDown(unique, app);
      return 200;
    }
    std::string recordedPeer = found->second.peer;
    clients.erase(found);
    if (handler != nullptr) handler->OnLogout(unique, app, false);
    Log(unique, "Disconnect", CountOf(clients.size()), recordedPeer.c_str(), false);
    return 200;
  }
  return 501;
}

std::string KReceivePacketHandler::MakeReply(int code) {
  char status[32];
  std::snprintf(status, sizeof status, " %d\r\n\r\n", code);
  std::string reply = ReplyTag() + status;
  reply += "Version: 1.00\r\n";
  reply += "Hash: " + Md5Hex(uniqueId + appId) + "\r\n";

  unsigned long count;
  {
    boost::lock_guard<boost::mutex> clientsLock(clientsMutex);
    count = clients.size();
  }
  char countLine[64];
  std::snprintf(countLine, sizeof countLine, "CurrentClients: %lu\r\n", count);
  reply += countLine;

  for (auto const& param : extParams) reply += param.first + ": " + param.second + "\r\n";
  return reply;
}

void KReceivePacketHandler::UpdateClients() {
  boost::lock_guard<boost::mutex> clientsLock(clientsMutex);
  INorlaEventHandler* handler = eventHandler;
  std::int64_t now = Now();
  auto const limit = static_cast<std::int64_t>(timeoutSeconds_);
  for (auto entry = clients.begin(); entry != clients.end();) {
    if (now - static_cast<std::int64_t>(entry->second.lastSeen) <= limit) {
      ++entry;
      continue;
    }
    std::string unique = entry->first;
    std::string peer = entry->second.peer;
    if (handler != nullptr) handler->OnKilled(unique.c_str());
    entry = clients.erase(entry);
    // Straight to OutputLog: currentPeer belongs to a request that may be in
    // flight on the server thread, and these lines are never decorated.
    OutputLog(unique.c_str(), "Disconnect(Timeout)", CountOf(clients.size()), peer.c_str(), false);
  }
}

bool KReceivePacketHandler::Log(char const* source, char const* event, int count,
                                char const* address, bool flag) {
  std::string text = address != nullptr ? address : "";
  if (!text.empty() && !currentPeer.empty() && text != currentPeer) {
    text += "(" + currentPeer + ")";
  }
  return OutputLog(source, event, count, text.c_str(), flag);
}

bool KReceivePacketHandler::SetExtParams(char const* text) {
  boost::lock_guard<boost::mutex> requestLock(requestMutex);
  return ParseExtParams(text, extParams);
}

std::size_t KReceivePacketHandler::ClientCount() {
  boost::lock_guard<boost::mutex> clientsLock(clientsMutex);
  return clients.size();
}

std::map<std::string, TClient> KReceivePacketHandler::Clients() {
  boost::lock_guard<boost::mutex> clientsLock(clientsMutex);
  return clients;
}

}  // namespace norla_server
