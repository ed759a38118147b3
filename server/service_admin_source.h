#pragma once

// What the admin interface sees of one service instance: the request
// handler's figures, its table (pages are copies made by the table), the
// transport's refusal and traffic counts, the access lists and the history.
//
// Threads: called on the admin thread. Release takes requestMutex for one
// removal; nothing else here holds a service lock longer than one table call.

#include <chrono>
#include <ctime>
#include <memory>
#include <string>

#include "server/admin_source.h"
#include "server/history_query.h"
#include "server/receive_packet_handler.h"
#include "server/service_access_lists.h"
#include "transport/packet_server_thread.h"

namespace norla_server {

class KServiceAdminSource final : public tally_admin::IAdminSource {
 public:
  KServiceAdminSource(KReceivePacketHandler& handler, KServiceAccessLists& lists,
                      unsigned int port);

  // Set before the admin interface starts; it must outlive the interface.
  void SetServerThread(KPacketServerThread* thread) { thread_ = thread; }
  // The state file history and events are read from ("": none). Set before
  // the admin interface starts.
  void SetStateFile(std::string path) { stateFile_ = std::move(path); }

  tally_admin::AdminStatus Status() override;
  std::vector<tally_admin::AdminClient> Clients(
      tally_admin::AdminClientQuery const& query) override;
  std::optional<tally_admin::AdminClient> Client(std::string const& uniqueId) override;
  bool Release(std::string const& uniqueId) override;
  tally_admin::AdminReload Reload() override;
  std::string Metrics() override;
  std::vector<tally_admin::AdminSample> History(std::size_t minutes) override;
  bool HasStateFile() override { return !stateFile_.empty(); }
  bool Usage(tally_admin::AdminRange const& range, tally_admin::AdminUsage& usage,
             std::string& why) override;
  bool Events(tally_admin::AdminEventQuery const& query,
              std::vector<tally_admin::AdminEvent>& events, std::string& why) override;

 private:
  KReceivePacketHandler& handler_;
  KServiceAccessLists& lists_;
  unsigned int const port_;
  std::time_t const startTime_;
  std::chrono::steady_clock::time_point const started_;
  KPacketServerThread* thread_ = nullptr;
  std::string stateFile_;
  // Opened on first use, on the admin thread.
  std::unique_ptr<HistoryQuery> history_;

  // The query on the state file, or null with `why`.
  HistoryQuery* StateHistory(std::string& why);
  // Usage from the last 24 hours' samples in memory.
  tally_admin::AdminUsage MemoryUsage(tally_admin::AdminRange const& range);
};

}  // namespace norla_server
