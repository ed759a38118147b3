#pragma once

// The service's state file: at start the register is restored from it, then
// every change, event and sample of the request handler is carried to it by
// a StateWriter until the service stops. Whatever goes wrong with the file is
// logged and the service runs on from memory: a file in use by another
// process leaves this one without persistence, a bad one is moved aside.
//
// Threads: Start before the server thread starts, Stop after every thread
// that changes the register has ended.

#include <cstdint>
#include <memory>
#include <string>

#include "server/receive_packet_handler.h"
#include "server/state_writer.h"

namespace norla_server {

// The stored rows still live at wall time `now` as table entries, idle since
// they were last seen; the others become "Disconnect(Timeout)" events in
// `expired`. Idle time counts the part before the save and the part after it,
// neither below zero, so a clock set back between stop and start keeps
// nobody forever and makes no negative idle time.
std::vector<ClientEntry> LiveEntries(std::vector<StoredClient> rows, std::time_t now,
                                     std::int64_t timeoutSeconds, StateBatch& expired);

class KServiceState {
 public:
  struct Settings {
    std::string path;
    unsigned int historyDays = 400;
    unsigned int eventsDays = 90;
  };

  // Restores into `handler`'s table the entries not idle longer than its
  // time-out, with "Restored N clients from PATH", and attaches the writer.
  void Start(Settings const& settings, KReceivePacketHandler& handler);
  // Writes the last batch and detaches the writer.
  void Stop(KReceivePacketHandler& handler);

  // The file in use, or "" without persistence.
  std::string const& Path() const { return path_; }

 private:
  void Restore(StateStore& store, KReceivePacketHandler& handler);

  std::unique_ptr<StateWriter> writer_;
  std::string path_;
};

}  // namespace norla_server
