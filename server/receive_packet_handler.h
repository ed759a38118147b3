#pragma once

// The request handler: one per service instance, called by the transport for
// every received body. It decrypts the body, splits and validates the request,
// applies the command to the client table, and writes the encrypted reply over
// the body.
//
// Locks: `requestMutex` is held for the whole handling of one body and guards
// the identification members, `currentPeer` and `extParams`; `clientsMutex`
// guards `clients`. Lock order: requestMutex before clientsMutex. Neither is
// recursive; event-handler notifications and event lines are issued with the
// locks held, so a notification must not call back into the service.

#include <atomic>
#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "server/client.h"
#include "server/event_handler.h"
#include "server/ext_params.h"

namespace norla_server {

constexpr std::uint64_t kDefaultMaxClients = 1000000;

class KReceivePacketHandler {
 public:
  using Clock = std::function<std::time_t()>;
  using FieldMap = std::map<std::string, std::string>;

  // Accepted ProductIDs separated by '/'; empty pieces are dropped. Null
  // throws std::invalid_argument.
  explicit KReceivePacketHandler(char const* products);
  // Logs "ServiceEnd" with the clients still in the table (unless disarmed).
  ~KReceivePacketHandler();
  KReceivePacketHandler(KReceivePacketHandler const&) = delete;
  KReceivePacketHandler& operator=(KReceivePacketHandler const&) = delete;

  // The transport's entry: handles one body in place (see PacketHandler).
  // Takes requestMutex, then clientsMutex inside ProcessCommand.
  bool operator()(unsigned char* body, unsigned long length, std::string const& peer);

  // Splits decrypted request text and returns the reply code. The caller
  // holds requestMutex (operator() does; single-threaded tests need not).
  int ParsePacket(std::string& text, std::string peer);

  // Validation, then the command. Takes clientsMutex; the caller holds
  // requestMutex. The identification strings are the handler's own members.
  int ProcessCommand(std::string& word1, std::string& word2, std::string& word3, FieldMap& fields,
                     std::string& productIdOut, std::string& uniqueIdOut, std::string& appIdOut,
                     std::string peer);

  // The reply text for a code. Takes clientsMutex for the count; the caller
  // holds requestMutex.
  std::string MakeReply(int code);

  // Drops clients idle longer than the time-out. Takes clientsMutex only; runs
  // on the host's thread while a request may be in flight.
  void UpdateClients();

  // Logs a client event, decorating `address` with the peer of the request
  // being handled when that differs. The caller holds requestMutex.
  bool Log(char const* source, char const* event, int count, char const* address, bool flag);

  // Settings. The event handler may be set while requests are served; the
  // others are set before the server thread starts.
  void SetEventHandler(INorlaEventHandler* handler) { eventHandler = handler; }
  void SetTimeoutSeconds(std::uint64_t seconds) { timeoutSeconds_ = seconds; }
  // 0: no limit.
  void SetMaxClients(std::uint64_t maxClients) { maxClients_ = maxClients; }
  void SetClock(Clock clock) { clock_ = std::move(clock); }
  // Replaces the extension parameters under requestMutex, so a running
  // instance never builds a reply from a half-replaced map.
  bool SetExtParams(char const* text);
  // A handler whose service never started ends without a "ServiceEnd" line.
  void DisarmServiceEnd() { logServiceEnd_ = false; }

  // Inspection; the table copies take clientsMutex.
  std::size_t ClientCount();
  std::map<std::string, TClient> Clients();
  std::vector<std::string> const& Products() const { return products; }

 private:
  std::time_t Now() const { return clock_(); }
  int ExecuteCommand(std::string const& command, std::string const& uniqueIdValue,
                     std::string const& appIdValue, std::string const& peer);

  std::string productId;
  std::string uniqueId;
  std::string appId;
  std::string currentPeer;
  std::atomic<INorlaEventHandler*> eventHandler{nullptr};
  std::map<std::string, TClient> clients;
  boost::mutex clientsMutex;
  boost::mutex requestMutex;
  std::uint64_t timeoutSeconds_ = 5 * 60;
  std::uint64_t maxClients_ = 0;
  std::vector<std::string> products;
  ExtParamMap extParams;

  Clock clock_;
  bool logServiceEnd_ = true;
};

}  // namespace norla_server
