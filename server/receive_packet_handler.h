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
// must not call back into the service. Changes for the state file are queued
// there too: the writer's queue lock comes after the table's, and nothing
// touches the file on this path. The public entries take requestMutex
// themselves; clang checks these rules from the annotations below.
//
// With a shared table (UseSharedTable) requests come through Answer instead:
// requestMutex is held to parse and validate, released while the table works,
// and taken again on the table's thread to log the change and seal the reply.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "protocol/reply_code.h"
#include "server/client_table.h"
#include "server/event_handler.h"
#include "server/ext_params.h"
#include "server/memory_client_table.h"
#include "server/request.h"
#include "server/state_writer.h"
#include "server/usage_history.h"
#include "transport/md5_hex.h"
#include "transport/packet_handler.h"
#include "transport/packet_cipher.h"

namespace norla_server {

constexpr std::uint64_t kDefaultMaxClients = 1000000;
// Reply codes counted per code (protocol/reply_code.h has 14), for each
// command and for requests without one (unparsed or unknown).
constexpr std::size_t kReplyCodeSlots = 14;
constexpr std::size_t kCommandSlots = static_cast<std::size_t>(Command::kUnknown) + 1;

struct RequestCount {
  Command command;
  int code;
  std::uint64_t count;
};

class KReceivePacketHandler final : private ClientTableListener {
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
  bool operator()(unsigned char* body, unsigned long length, std::string const& peer)
      EXCLUDES(requestMutex);

  // The entry with a shared table: the same handling, but a change goes to
  // the table and `reply` is called when it answers, on the table's thread;
  // never waits for the table. A change the table could not make, or not in
  // time, closes the connection without a reply. PING and refusals are
  // answered at once with the table's last known count.
  void Answer(unsigned char const* body, unsigned long length, std::string const& peer,
              PacketReply reply) EXCLUDES(requestMutex);

  // Serves requests from `table` instead of the in-memory one, with this
  // handler's limits. Before the server thread starts.
  void UseSharedTable(std::unique_ptr<AsyncClientTable> table);
  bool HasSharedTable() const { return shared_ != nullptr; }
  // Ends the shared table's thread: pending changes end without a reply.
  // Before the server thread is stopped, whose sessions they reply to.
  void StopSharedTable() {
    if (shared_) shared_->Stop();
  }
  std::uint64_t StoreTimeouts() const { return shared_ ? shared_->Timeouts() : 0; }

  // Parses decrypted request text and returns the reply code.
  ReplyCode ParsePacket(std::string_view text, std::string const& peer) EXCLUDES(requestMutex);

  // Validation, then the command against the table; records the request's
  // identification for the reply.
  ReplyCode ProcessCommand(Request const& request) EXCLUDES(requestMutex);

  // The reply text for a code, with the table's count.
  std::string MakeReply(ReplyCode code) EXCLUDES(requestMutex);

  // Drops clients idle longer than the time-out, in slices of the table's
  // lock, times the sweep, and once a minute samples the counts into the
  // history; never takes requestMutex. Runs on the host's thread while
  // requests are served.
  void UpdateClients() EXCLUDES(table_->ClientsMutex());

  // Logs a client event, decorating `address` with the peer of the request
  // being handled when that differs. The caller holds requestMutex.
  bool Log(char const* source, char const* event, int count, char const* address, bool flag)
      REQUIRES(requestMutex);

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
  bool SetExtParams(char const* text) EXCLUDES(requestMutex);
  // Where changes, events and samples are also kept (null: nowhere). Set
  // before requests are served and cleared after they have ended.
  void SetStateWriter(StateWriter* writer) { stateWriter_ = writer; }
  // A handler whose service never started ends without a "ServiceEnd" line.
  void DisarmServiceEnd() { logServiceEnd_ = false; }

  // Removes the entry whatever its login count, under requestMutex so its
  // line ("Disconnect(Admin)") carries no in-flight request's peer. False
  // when the UniqueID is not registered.
  bool ReleaseByAdmin(std::string const& uniqueId) EXCLUDES(requestMutex);

  // Requests answered with each reply code since creation, in code order.
  std::vector<std::pair<int, std::uint64_t>> RequestCounts() const;
  // The same by command and code, in that order; pairs never seen left out.
  std::vector<RequestCount> RequestCountsByCommand() const;
  // The most entries the table held, and when (0: never any).
  std::size_t PeakClients() const { return peakClients_.load(std::memory_order_relaxed); }
  std::time_t PeakTime() const { return peakTime_.load(std::memory_order_relaxed); }
  std::uint64_t TimeoutSeconds() const { return timeoutSeconds_; }
  std::uint64_t MaxClients() const { return maxClients_; }

  std::size_t ClientCount() { return shared_ ? shared_->LastKnownCount() : table_->Count(); }
  // Replaces the table's contents (a restart's); the peak starts from their number.
  void Restore(std::vector<ClientEntry> entries);
  // How long the last UpdateClients swept, in seconds (0: none yet).
  double LastSweepSeconds() const {
    return static_cast<double>(lastSweepNanos_.load(std::memory_order_relaxed)) / 1e9;
  }
  UsageHistory const& History() const { return history_; }
  // Changes made through it reach OnChanged without requestMutex: look-ups
  // only while requests are served.
  ClientTable& Table() { return shared_ ? static_cast<ClientTable&>(*shared_) : *table_; }
  std::vector<std::string> const& Products() const { return products; }

 private:
  std::time_t Now() const { return clock_(); }
  std::int64_t MonotonicNow() const;
  // The public entries above, with requestMutex held.
  ReplyCode ParsePacketLocked(std::string_view text, std::string const& peer)
      REQUIRES(requestMutex);
  ReplyCode ProcessCommandLocked(Request const& request) REQUIRES(requestMutex);
  std::string MakeReplyLocked(ReplyCode code) REQUIRES(requestMutex);
  // Parses `text` into request_ and checks it with CheckLocked.
  bool ScreenLocked(std::string_view text, std::string const& peer, ReplyCode& code)
      REQUIRES(requestMutex);
  // The checks before the table: true when the request is a change for it,
  // else `code` is the reply (a PING is answered here).
  bool CheckLocked(Request const& request, ReplyCode& code) REQUIRES(requestMutex);
  ReplyCode ExecuteCommand(Request const& request) REQUIRES(requestMutex);

  // A change in flight to the shared table, with what its reply needs.
  struct SharedRequest {
    Command command = Command::kUnknown;  // a change's; kUnknown: a reply with the count only
    ReplyCode code = tally_protocol::kReplyOk;  // of a reply with the count only
    std::string uniqueId, appId, peer;
    char hash[32] = {};
    std::size_t used = 0;  // body bytes
    std::atomic<bool> answered{false};
  };
  void Complete(SharedRequest& request, StoreReply const& reply, PacketReply const& send)
      EXCLUDES(requestMutex);
  // Decrypts `body` into `text` (kBufferSize bytes); false when the cipher fails.
  bool OpenLocked(unsigned char const* body, std::size_t used, unsigned char* text)
      REQUIRES(requestMutex);
  // The first `used` bytes of the encrypted reply body into `out`.
  bool SealLocked(ReplyCode code, char const* hash, std::size_t count, std::size_t used,
                  unsigned char* out) REQUIRES(requestMutex);
  void CountReply(Command command, ReplyCode code);
  bool ReleaseShared(std::string const& uniqueId) EXCLUDES(requestMutex);

  // ClientTableListener; run with the table's lock held. Only ExecuteCommand
  // and ReleaseByAdmin change the table (nothing releases through Table()
  // here), so OnChanged also runs under requestMutex; the table cannot say so
  // through its interface.
  void OnChanged(std::string const& uniqueId, std::string const& appId,
                 TableOutcome const& outcome, TClient const* entry) override
      REQUIRES(requestMutex);
  void OnExpiring(std::string const& uniqueId) override;
  void OnSwept(std::vector<TableLine> const& lines) override;
  // Queues a change for the state file; `event` names its line, if any.
  void Persist(std::string const& uniqueId, TableOutcome const& outcome, TClient const* entry,
               char const* event);

  std::string productId GUARDED_BY(requestMutex);
  std::string uniqueId GUARDED_BY(requestMutex);
  std::string appId GUARDED_BY(requestMutex);
  std::string currentPeer GUARDED_BY(requestMutex);
  bool adminRelease_ GUARDED_BY(requestMutex) = false;  // ReleaseByAdmin is removing
  // MD5 of uniqueId followed by appId, in hex: computed once per identification.
  char replyHash_[32] GUARDED_BY(requestMutex);
  norla::Md5HexDigest md5_ GUARDED_BY(requestMutex);
  std::atomic<INorlaEventHandler*> eventHandler{nullptr};
  tally::Mutex requestMutex ACQUIRED_BEFORE(table_->ClientsMutex());
  std::uint64_t timeoutSeconds_ = 5 * 60;
  std::uint64_t maxClients_ = 0;
  std::vector<std::string> products;
  ExtParamMap extParams GUARDED_BY(requestMutex);

  Clock clock_;
  MonotonicClock monotonicClock_;
  // Held as what it is, so the lock order above can name its mutex.
  std::unique_ptr<MemoryClientTable> table_;
  bool logServiceEnd_ = true;
  StateWriter* stateWriter_ = nullptr;
  UsageHistory history_;
  std::atomic<std::int64_t> lastSweepNanos_{0};
  // Counted in relaxed order: figures for people, not for synchronisation.
  std::atomic<std::uint64_t> requestCounts_[kCommandSlots][kReplyCodeSlots] = {};
  // Written only by OnChanged, under the table's lock (requestMutex with a
  // shared table).
  std::atomic<std::size_t> peakClients_{0};
  std::atomic<std::time_t> peakTime_{0};
  // Keyed on the first request.
  norla::PacketCipher cipher_ GUARDED_BY(requestMutex);
  // Reused by ParsePacket so that its strings keep their capacity.
  Request request_ GUARDED_BY(requestMutex);
  // Last, so that it stops (ending its pending changes) before the rest goes.
  std::unique_ptr<AsyncClientTable> shared_;
};

}  // namespace norla_server
