#pragma once

// The request handler: one per service instance, called by the transport for
// every received body. It decrypts the body, parses the request into a
// record, validates it, applies the command to the client table, and writes
// the encrypted reply over the body.
//
// Locks: `requestMutex` is held for the whole handling of one body and guards
// the identification members, `currentPeer` and `extParams`. The client table
// guards itself (its lock is the `clientsMutex` role) and is always taken
// after requestMutex. Event-handler notifications and event lines of a change
// are issued from the table's listener with its lock held, so a notification
// must not call back into the service.

#include <atomic>
#include <boost/thread/mutex.hpp>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/reply_code.h"
#include "server/client_table.h"
#include "server/event_handler.h"
#include "server/ext_params.h"
#include "server/request.h"
#include "transport/md5_hex.h"
#include "transport/packet_cipher.h"

namespace norla_server {

constexpr std::uint64_t kDefaultMaxClients = 1000000;

class KReceivePacketHandler : private ClientTableListener {
 public:
  using Clock = std::function<std::time_t()>;
  using MonotonicClock = std::function<std::int64_t()>;
  using ReplyCode = tally_protocol::ReplyCode;

  // Accepted ProductIDs separated by '/'; empty pieces are dropped. Null
  // throws std::invalid_argument. The table is a MemoryClientTable reading
  // this handler's clocks.
  explicit KReceivePacketHandler(char const* products);
  // Logs "ServiceEnd" with the clients still in the table (unless disarmed).
  ~KReceivePacketHandler();
  KReceivePacketHandler(KReceivePacketHandler const&) = delete;
  KReceivePacketHandler& operator=(KReceivePacketHandler const&) = delete;

  // The transport's entry: handles one body in place (see PacketHandler).
  // Takes requestMutex, then the table's lock inside ProcessCommand.
  bool operator()(unsigned char* body, unsigned long length, std::string const& peer);

  // Parses decrypted request text and returns the reply code. The caller
  // holds requestMutex (operator() does; single-threaded tests need not).
  ReplyCode ParsePacket(std::string_view text, std::string const& peer);

  // Validation, then the command against the table; records the request's
  // identification for the reply. The caller holds requestMutex.
  ReplyCode ProcessCommand(Request const& request);

  // The reply text for a code, with the table's count. The caller holds
  // requestMutex.
  std::string MakeReply(ReplyCode code);

  // Drops clients idle longer than the time-out, in slices of the table's
  // lock; never takes requestMutex. Runs on the host's thread while requests
  // are served.
  void UpdateClients();

  // Logs a client event, decorating `address` with the peer of the request
  // being handled when that differs. The caller holds requestMutex.
  bool Log(char const* source, char const* event, int count, char const* address, bool flag);

  // Settings. The event handler may be set while requests are served; the
  // others are set before the server thread starts.
  void SetEventHandler(INorlaEventHandler* handler) { eventHandler = handler; }
  void SetTimeoutSeconds(std::uint64_t seconds);
  // 0: no limit.
  void SetMaxClients(std::uint64_t maxClients);
  // The wall clock stamps entries and checks request dates; the monotonic
  // one (whole seconds) alone decides idleness.
  void SetClock(Clock clock) { clock_ = std::move(clock); }
  void SetMonotonicClock(MonotonicClock clock) { monotonicClock_ = std::move(clock); }
  // Replaces the extension parameters under requestMutex, so a running
  // instance never builds a reply from a half-replaced map.
  bool SetExtParams(char const* text);
  // A handler whose service never started ends without a "ServiceEnd" line.
  void DisarmServiceEnd() { logServiceEnd_ = false; }

  std::size_t ClientCount() { return table_->Count(); }
  ClientTable& Table() { return *table_; }
  std::vector<std::string> const& Products() const { return products; }

 private:
  std::time_t Now() const { return clock_(); }
  ReplyCode ExecuteCommand(Request const& request);

  // ClientTableListener; run with the table's lock held.
  void OnChanged(std::string const& uniqueId, std::string const& appId,
                 TableOutcome const& outcome) override;
  void OnExpiring(std::string const& uniqueId) override;
  void OnSwept(std::vector<TableLine> const& lines) override;

  // MD5 of the last identified request's UniqueID and AppID, in hex.
  char replyHash_[32];
  norla::Md5HexDigest md5_;
  std::string currentPeer;
  std::atomic<INorlaEventHandler*> eventHandler{nullptr};
  boost::mutex requestMutex;
  std::uint64_t timeoutSeconds_ = 5 * 60;
  std::uint64_t maxClients_ = 0;
  std::vector<std::string> products;
  ExtParamMap extParams;

  Clock clock_;
  MonotonicClock monotonicClock_;
  std::unique_ptr<ClientTable> table_;
  bool logServiceEnd_ = true;
  // Keyed on the first request; used under requestMutex only.
  norla::PacketCipher cipher_;
  // Reused by ParsePacket so that its strings keep their capacity.
  Request request_;
};

}  // namespace norla_server
