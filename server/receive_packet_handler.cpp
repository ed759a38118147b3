#include "server/receive_packet_handler.h"

#include <syslog.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "base/obscured_text.h"
#include "server/event_log.h"
#include "server/memory_client_table.h"
#include "server/store_wait.h"

namespace norla_server {

using namespace tally_protocol;

namespace {

constexpr std::size_t kBufferSize = 512;
// An admin release waits this long for the shared table, then reports failure.
constexpr std::chrono::milliseconds kAdminReleaseWait{2000};

constexpr auto kReplyTag = tally::Obscure("TALLYRPL1");

unsigned char* Bytes(std::string& text) { return reinterpret_cast<unsigned char*>(text.data()); }

// Appends up to a fixed capacity: a reply longer than the body is cut.
class BufferSink {
 public:
  BufferSink(unsigned char* data, std::size_t capacity) : data_(data), capacity_(capacity) {}
  void Append(std::string_view piece) {
    std::size_t const room = capacity_ - size_;
    std::size_t const taken = piece.size() < room ? piece.size() : room;
    std::memcpy(data_ + size_, piece.data(), taken);
    size_ += taken;
  }

 private:
  unsigned char* data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

class StringSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  void Append(std::string_view piece) { out_.append(piece); }

 private:
  std::string& out_;
};

template <typename Number>
std::string_view Decimal(Number value, char (&buffer)[24]) {
  auto const result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer));
}

// Written straight into its destination, piece by piece.
template <typename Sink>
void WriteReply(Sink& sink, ReplyCode code, std::string_view hash, std::size_t count,
                ExtParamMap const& extParams) {
  char number[24];
  sink.Append(tally::Reveal(kReplyTag));
  sink.Append(" ");
  sink.Append(Decimal(static_cast<int>(code), number));
  sink.Append("\r\n\r\nVersion: 1.00\r\nHash: ");
  sink.Append(hash);
  sink.Append("\r\nCurrentClients: ");
  sink.Append(Decimal(static_cast<unsigned long>(count), number));
  sink.Append("\r\n");
  for (auto const& param : extParams) {
    sink.Append(param.first);
    sink.Append(": ");
    sink.Append(param.second);
    sink.Append("\r\n");
  }
}

int CountOf(std::size_t size) {
  return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

char const* EventText(TableEvent event) {
  switch (event) {
    case TableEvent::kConnect:
      return "Connect";
    case TableEvent::kDisconnect:
      return "Disconnect";
    case TableEvent::kTimeout:
      return "Disconnect(Timeout)";
    case TableEvent::kRegisterFull:
      return "Register full";
    case TableEvent::kRegisterRoom:
      return "Register has room again";
    case TableEvent::kNone:
      break;
  }
  return "";
}

// A full register turns clients away: an operator must see it in error-only views.
void LogRegisterLine(TableEvent event, std::size_t count) {
  if (event == TableEvent::kNone) return;
  int const priority = event == TableEvent::kRegisterFull ? LOG_ERR : LOG_INFO;
  OutputLogAt(priority, "", EventText(event), CountOf(count), "");
}

constexpr ReplyCode kCountedCodes[kReplyCodeSlots] = {
    kReplyOk,           kReplyNotRegistered,  kReplyEmpty,
    kReplyTooFewWords,  kReplyNotNorla,       kReplyNoUniqueId,
    kReplyNoAppId,      kReplyNoProductId,    kReplyUnknownCommand,
    kReplyRegisterFull, kReplyUnknownProduct, kReplyDateUnreadable,
    kReplyDateInvalid,  kReplyDateStale};

std::size_t CodeSlot(ReplyCode code) {
  return static_cast<std::size_t>(
      std::find(std::begin(kCountedCodes), std::end(kCountedCodes), code) -
      std::begin(kCountedCodes));
}

ReplyCode ReplyFor(TableResult result) {
  switch (result) {
    case TableResult::kNotFound:
      return kReplyNotRegistered;
    case TableResult::kFull:
      return kReplyRegisterFull;
    default:
      return kReplyOk;
  }
}

}  // namespace

KReceivePacketHandler::KReceivePacketHandler(char const* productsText)
    : clock_([] { return std::time(nullptr); }),
      history_(UsageHistory::Clocks{[this] { return Now(); }, [this] { return MonotonicNow(); }}) {
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
  clocks.monotonic = [this] { return MonotonicNow(); };
  md5_.Compute("", "", replyHash_);
  table_ = std::make_unique<MemoryClientTable>(std::move(clocks));
  table_->SetListener(this);
  table_->SetLimits(timeoutSeconds_, maxClients_);
}

KReceivePacketHandler::~KReceivePacketHandler() {
  if (!logServiceEnd_) return;
  try {
    OutputLog("", "ServiceEnd", CountOf(ClientCount()), "", false);
  } catch (...) {
  }
}

bool KReceivePacketHandler::operator()(unsigned char* body, unsigned long length,
                                       std::string const& peer) {
  tally::MutexLock requestLock(&requestMutex);
  std::size_t const used = std::min<std::size_t>(length, kBufferSize);
  unsigned char text[kBufferSize];
  if (!OpenLocked(body, used, text)) return false;
  currentPeer = peer;
  ReplyCode const code =
      ParsePacketLocked(std::string_view(reinterpret_cast<char const*>(text), used), peer);
  currentPeer.clear();
  CountReply(request_.command, code);
  return SealLocked(code, replyHash_, table_->Count(), used, body);
}

ReplyCode KReceivePacketHandler::ParsePacket(std::string_view text, std::string const& peer) {
  tally::MutexLock requestLock(&requestMutex);
  return ParsePacketLocked(text, peer);
}

ReplyCode KReceivePacketHandler::ProcessCommand(Request const& request) {
  tally::MutexLock requestLock(&requestMutex);
  return ProcessCommandLocked(request);
}

std::string KReceivePacketHandler::MakeReply(ReplyCode code) {
  tally::MutexLock requestLock(&requestMutex);
  return MakeReplyLocked(code);
}

ReplyCode KReceivePacketHandler::ParsePacketLocked(std::string_view text, std::string const& peer) {
  ReplyCode code = kReplyOk;
  return ScreenLocked(text, peer, code) ? ExecuteCommand(request_) : code;
}

ReplyCode KReceivePacketHandler::ProcessCommandLocked(Request const& request) {
  ReplyCode code = kReplyOk;
  return CheckLocked(request, code) ? ExecuteCommand(request) : code;
}

bool KReceivePacketHandler::ScreenLocked(std::string_view text, std::string const& peer,
                                         ReplyCode& code) {
  code = ParseRequest(text, peer, request_);
  if (code != kReplyOk) {
    request_.command = Command::kUnknown;  // counted as no command
    return false;
  }
  return CheckLocked(request_, code);
}

bool KReceivePacketHandler::CheckLocked(Request const& request, ReplyCode& code) {
  code = kReplyOk;
  if (request.word1 != "NORLA") {
    code = kReplyNotNorla;
    return false;
  }
  if (request.command == Command::kPing) {
    if (INorlaEventHandler* handler = eventHandler) handler->OnPing();
    return false;
  }
  // Refused requests identify themselves too: their reply hashes these.
  // Hashed here, once per identification, as PINGs repeat the last one.
  productId = request.productId;
  uniqueId = request.uniqueId;
  appId = request.appId;
  md5_.Compute(uniqueId, appId, replyHash_);
  code = ValidateRequest(request, products, Now());
  return code == kReplyOk;
}

ReplyCode KReceivePacketHandler::ExecuteCommand(Request const& request) {
  switch (request.command) {
    case Command::kLogin:
    case Command::kAlive:
      return ReplyFor(table_
                          ->RegisterOrRenew(request.uniqueId, request.appId, request.peer,
                                            request.command == Command::kLogin)
                          .result);
    case Command::kExit:
      return ReplyFor(table_->Leave(request.uniqueId, request.appId).result);
    default:
      return kReplyUnknownCommand;
  }
}

void KReceivePacketHandler::OnChanged(std::string const& unique, std::string const& app,
                                      TableOutcome const& outcome, TClient const* entry) {
  if (INorlaEventHandler* handler = eventHandler) {
    char const* u = unique.c_str();
    char const* a = app.c_str();
    switch (outcome.result) {
      case TableResult::kCreated:
        handler->OnLogin(u, a);
        break;
      case TableResult::kRenewed:
        handler->OnAlive(u, a);
        break;
      case TableResult::kCountedUp:
        handler->OnCountUp(u, a);
        break;
      case TableResult::kCountedDown:
        handler->OnCountDown(u, a);
        break;
      case TableResult::kRemoved:
        handler->OnLogout(u, a, false);
        break;
      case TableResult::kNotFound:
      case TableResult::kFull:
        break;
    }
  }
  if (outcome.count > peakClients_.load(std::memory_order_relaxed)) {
    peakClients_.store(outcome.count, std::memory_order_relaxed);
    peakTime_.store(Now(), std::memory_order_relaxed);
  }
  TableLine const& line = outcome.line;
  bool const admin = adminRelease_ && line.event == TableEvent::kDisconnect;
  char const* const event = admin ? "Disconnect(Admin)" : EventText(line.event);
  if (line.event != TableEvent::kNone) {
    Log(line.uniqueId.c_str(), event, CountOf(line.count), line.peer.c_str(), false);
  }
  LogRegisterLine(outcome.registerLine, outcome.count);
  if (stateWriter_ != nullptr) Persist(unique, outcome, entry, event);
}

void KReceivePacketHandler::Persist(std::string const& unique, TableOutcome const& outcome,
                                    TClient const* entry, char const* event) {
  switch (outcome.result) {
    case TableResult::kCreated:
    case TableResult::kRenewed:
    case TableResult::kCountedUp:
    case TableResult::kCountedDown:
      if (entry != nullptr) {
        stateWriter_->Put(StoredClient{unique, entry->appId, entry->peer, entry->loginCount,
                                       entry->firstSeen, entry->lastSeen, 0});
      }
      break;
    case TableResult::kRemoved:
      stateWriter_->Remove(unique);
      break;
    case TableResult::kNotFound:
    case TableResult::kFull:
      break;
  }
  TableLine const& line = outcome.line;
  if (line.event == TableEvent::kConnect || line.event == TableEvent::kDisconnect) {
    stateWriter_->Add(StoredEvent{0, Now(), event, line.uniqueId, line.appId, line.peer});
  }
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
      if (stateWriter_ != nullptr) {
        stateWriter_->Remove(line.uniqueId);
        stateWriter_->Add(
            StoredEvent{0, Now(), EventText(line.event), line.uniqueId, line.appId, line.peer});
      }
    } else {
      LogRegisterLine(line.event, line.count);
    }
  }
}

std::string KReceivePacketHandler::MakeReplyLocked(ReplyCode code) {
  std::string reply;
  reply.reserve(kBufferSize);
  StringSink sink(reply);
  WriteReply(sink, code, std::string_view(replyHash_, sizeof replyHash_), table_->Count(),
             extParams);
  return reply;
}

std::int64_t KReceivePacketHandler::MonotonicNow() const {
  // Null until a test sets one.
  return monotonicClock_ ? monotonicClock_() : tally::MonotonicSeconds();
}

void KReceivePacketHandler::UpdateClients() {
  auto const start = std::chrono::steady_clock::now();
  Table().SweepExpired();
  lastSweepNanos_.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count(),
      std::memory_order_relaxed);
  if (!history_.Due()) return;
  UsageHistory::AppCounts byApp = Table().CountsByApp();
  std::size_t clients = 0;
  for (auto const& app : byApp) clients += app.second;
  byApp = UsageHistory::Top(std::move(byApp), UsageHistory::kTopApps);
  if (stateWriter_ != nullptr) stateWriter_->Add(StoredSample{Now(), clients, byApp});
  history_.Record(clients, std::move(byApp));
}

bool KReceivePacketHandler::Log(char const* source, char const* event, int count,
                                char const* address, bool flag) {
  std::string text = address != nullptr ? address : "";
  if (!text.empty() && !currentPeer.empty() && text != currentPeer) {
    text += "(" + currentPeer + ")";
  }
  return OutputLog(source, event, count, text.c_str(), flag);
}

void KReceivePacketHandler::Restore(std::vector<ClientEntry> entries) {
  std::size_t const count = entries.size();
  table_->Restore(std::move(entries));
  peakClients_.store(count, std::memory_order_relaxed);
  peakTime_.store(count != 0 ? Now() : 0, std::memory_order_relaxed);
}

bool KReceivePacketHandler::ReleaseByAdmin(std::string const& unique) {
  if (shared_) return ReleaseShared(unique);
  tally::MutexLock requestLock(&requestMutex);
  adminRelease_ = true;
  TableOutcome const outcome = table_->Release(unique);
  adminRelease_ = false;
  return outcome.result == TableResult::kRemoved;
}

std::vector<std::pair<int, std::uint64_t>> KReceivePacketHandler::RequestCounts() const {
  std::vector<std::pair<int, std::uint64_t>> counts;
  for (std::size_t slot = 0; slot < kReplyCodeSlots; ++slot) {
    std::uint64_t sum = 0;
    for (auto const& byCode : requestCounts_) sum += byCode[slot].load(std::memory_order_relaxed);
    counts.emplace_back(kCountedCodes[slot], sum);
  }
  return counts;
}

std::vector<RequestCount> KReceivePacketHandler::RequestCountsByCommand() const {
  std::vector<RequestCount> counts;
  for (std::size_t command = 0; command < kCommandSlots; ++command) {
    for (std::size_t slot = 0; slot < kReplyCodeSlots; ++slot) {
      std::uint64_t const count = requestCounts_[command][slot].load(std::memory_order_relaxed);
      if (count != 0) counts.push_back({static_cast<Command>(command), kCountedCodes[slot], count});
    }
  }
  return counts;
}

void KReceivePacketHandler::SetTimeoutSeconds(std::uint64_t seconds) {
  timeoutSeconds_ = seconds;
  table_->SetLimits(timeoutSeconds_, maxClients_);
  if (shared_) shared_->SetLimits(timeoutSeconds_, maxClients_);
}

void KReceivePacketHandler::SetMaxClients(std::uint64_t maxClients) {
  maxClients_ = maxClients;
  table_->SetLimits(timeoutSeconds_, maxClients_);
  if (shared_) shared_->SetLimits(timeoutSeconds_, maxClients_);
}

bool KReceivePacketHandler::SetExtParams(char const* text) {
  tally::MutexLock requestLock(&requestMutex);
  return ParseExtParams(text, extParams);
}

void KReceivePacketHandler::UseSharedTable(std::unique_ptr<AsyncClientTable> table) {
  shared_ = std::move(table);
  shared_->SetListener(this);
  shared_->SetLimits(timeoutSeconds_, maxClients_);
}

void KReceivePacketHandler::Answer(unsigned char const* body, unsigned long length,
                                   std::string const& peer, PacketReply reply) {
  auto request = std::make_shared<SharedRequest>();
  request->used = std::min<std::size_t>(length, kBufferSize);
  {
    tally::MutexLock requestLock(&requestMutex);
    unsigned char output[kBufferSize] = {};
    if (!OpenLocked(body, request->used, output)) return reply(false, {});
    std::string_view const text(reinterpret_cast<char const*>(output), request->used);
    ReplyCode code = kReplyOk;
    bool const change = ScreenLocked(text, peer, code);
    std::memcpy(request->hash, replyHash_, sizeof replyHash_);
    if (!change) {
      CountReply(request_.command, code);
      request->code = code;
    } else {
      request->command = request_.command;
      request->uniqueId = request_.uniqueId;
      request->appId = request_.appId;
      request->peer = request_.peer;
    }
  }
  if (request->code != kReplyOk || request->command == Command::kUnknown) {
    // Other instances change the register too: its size comes from the store.
    // Called outside requestMutex, as the count may come at once.
    return shared_->CountAsync([this, request, reply = std::move(reply)](std::size_t count) {
      std::string out(request->used, '\0');
      bool sealed = false;
      {
        tally::MutexLock requestLock(&requestMutex);
        sealed = SealLocked(request->code, request->hash, count, request->used, Bytes(out));
      }
      reply(sealed, std::move(out));
    });
  }
  auto done = [this, request, reply = std::move(reply)](StoreReply const& answer) {
    Complete(*request, answer, reply);
  };
  if (request->command == Command::kExit) {
    shared_->LeaveAsync(request->uniqueId, request->appId, std::move(done));
  } else {
    shared_->RegisterOrRenewAsync(request->uniqueId, request->appId, request->peer,
                                  request->command == Command::kLogin, std::move(done));
  }
}

void KReceivePacketHandler::Complete(SharedRequest& request, StoreReply const& reply,
                                     PacketReply const& send) {
  if (reply.status != StoreStatus::kDone) {
    if (!request.answered.exchange(true)) send(false, {});
    return;
  }
  std::string out(request.used, '\0');
  bool sealed = false;
  {
    tally::MutexLock requestLock(&requestMutex);
    // The change was made even when its reply came too late: its line is due.
    currentPeer = request.peer;
    OnChanged(request.uniqueId, request.appId, reply.outcome, nullptr);
    currentPeer.clear();
    if (request.answered.exchange(true)) return;
    ReplyCode const code = ReplyFor(reply.outcome.result);
    CountReply(request.command, code);
    sealed = SealLocked(code, request.hash, reply.outcome.count, request.used, Bytes(out));
  }
  send(sealed, std::move(out));
}

bool KReceivePacketHandler::ReleaseShared(std::string const& unique) {
  auto const answer = Await<StoreReply>(
      kAdminReleaseWait, [&](std::function<void(std::optional<StoreReply>)> done) {
        shared_->ReleaseAsync(unique, [done](StoreReply const& reply) {
          if (reply.status != StoreStatus::kTimedOut) done(reply);
        });
      });
  if (!answer || answer->status != StoreStatus::kDone) return false;
  StoreReply const& reply = *answer;
  tally::MutexLock requestLock(&requestMutex);
  adminRelease_ = true;
  OnChanged(unique, reply.appId, reply.outcome, nullptr);
  adminRelease_ = false;
  return reply.outcome.result == TableResult::kRemoved;
}

bool KReceivePacketHandler::OpenLocked(unsigned char const* body, std::size_t used,
                                       unsigned char* text) {
  if (!cipher_.Keyed()) {
    // The key then lives only in the contexts; the decoded copy is wiped.
    norla::PacketKey packetKey;
    if (!cipher_.SetKey(packetKey.key, packetKey.iv)) return false;
  }
  unsigned char input[kBufferSize] = {};
  if (used > 0) std::memcpy(input, body, used);
  return cipher_.Execute(input, text, kBufferSize, false, true);
}

bool KReceivePacketHandler::SealLocked(ReplyCode code, char const* hash, std::size_t count,
                                       std::size_t used, unsigned char* out) {
  unsigned char plain[kBufferSize] = {};
  unsigned char cipher[kBufferSize] = {};
  BufferSink sink(plain, kBufferSize);
  WriteReply(sink, code, std::string_view(hash, sizeof replyHash_), count, extParams);
  if (!cipher_.Execute(plain, cipher, kBufferSize, true, true)) return false;
  if (used > 0) std::memcpy(out, cipher, used);
  return true;
}

void KReceivePacketHandler::CountReply(Command command, ReplyCode code) {
  if (std::size_t const slot = CodeSlot(code); slot < kReplyCodeSlots) {
    requestCounts_[static_cast<std::size_t>(command)][slot].fetch_add(1, std::memory_order_relaxed);
  }
}

}  // namespace norla_server
