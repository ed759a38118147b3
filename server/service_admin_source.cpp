#include "server/service_admin_source.h"

#include <sstream>

namespace norla_server {

namespace {

tally_admin::AdminClient AdminClientOf(ClientEntry const& entry) {
  tally_admin::AdminClient client;
  client.uniqueId = entry.uniqueId;
  client.appId = entry.client.appId;
  client.address = entry.client.peer;
  client.logins = entry.client.loginCount;
  client.firstSeen = entry.client.firstSeen;
  client.lastSeen = entry.client.lastSeen;
  client.idleSeconds = entry.idleSeconds;
  return client;
}

void Family(std::ostringstream& out, char const* name, char const* type, char const* help) {
  out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

}  // namespace

KServiceAdminSource::KServiceAdminSource(KReceivePacketHandler& handler,
                                         KServiceAccessLists& lists, unsigned int port)
    : handler_(handler),
      lists_(lists),
      port_(port),
      startTime_(std::time(nullptr)),
      started_(std::chrono::steady_clock::now()) {}

tally_admin::AdminStatus KServiceAdminSource::Status() {
  tally_admin::AdminStatus status;
  status.version = TALLY_VERSION;
  status.startTime = startTime_;
  status.uptimeSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_)
          .count();
  status.port = port_;
  status.currentClients = handler_.ClientCount();
  status.peakClients = handler_.PeakClients();
  status.peakTime = handler_.PeakTime();
  status.clientTimeoutSeconds = handler_.TimeoutSeconds();
  status.maxClients = handler_.MaxClients();
  status.requestsByCode = handler_.RequestCounts();
  AccessListSummary const lists = lists_.Current();
  status.denyPatterns = lists.deny;
  status.allowPatterns = lists.allow;
  status.listsLoadedAt = lists.loadedAt;
  return status;
}

std::vector<tally_admin::AdminClient> KServiceAdminSource::Clients(
    tally_admin::AdminClientQuery const& query) {
  PageQuery page;
  page.after = query.after;
  page.limit = query.limit;
  page.appId = query.appId;
  page.peer = query.address;
  std::vector<tally_admin::AdminClient> clients;
  for (ClientEntry const& entry : handler_.Table().Page(page)) {
    clients.push_back(AdminClientOf(entry));
  }
  return clients;
}

std::optional<tally_admin::AdminClient> KServiceAdminSource::Client(std::string const& uniqueId) {
  auto const entry = handler_.Table().Find(uniqueId);
  if (!entry) return std::nullopt;
  return AdminClientOf(*entry);
}

bool KServiceAdminSource::Release(std::string const& uniqueId) {
  return handler_.ReleaseByAdmin(uniqueId);
}

tally_admin::AdminReload KServiceAdminSource::Reload() {
  tally_admin::AdminReload reload;
  if (thread_ == nullptr) {
    reload.failure = "the service is not running";
    return reload;
  }
  AccessListSummary summary;
  reload.ok = lists_.Reload(*thread_, summary, reload.failure);
  reload.denyPatterns = summary.deny;
  reload.allowPatterns = summary.allow;
  return reload;
}

std::string KServiceAdminSource::Metrics() {
  std::size_t const clients = handler_.ClientCount();
  std::uint64_t const maxClients = handler_.MaxClients();
  std::ostringstream out;
  Family(out, "tallyd_clients", "gauge", "Clients in the register.");
  out << "tallyd_clients " << clients << '\n';
  Family(out, "tallyd_requests_total", "counter", "Requests answered, by reply code.");
  for (auto const& [code, count] : handler_.RequestCounts()) {
    out << "tallyd_requests_total{code=\"" << code << "\"} " << count << '\n';
  }
  Family(out, "tallyd_connections_refused_total", "counter",
         "Connections closed without data, by reason.");
  static constexpr std::pair<RefusalReason, char const*> kReasons[] = {
      {RefusalReason::kAccessList, "access_list"},
      {RefusalReason::kPerAddressCap, "per_address_cap"},
      {RefusalReason::kDescriptorShortage, "descriptor_shortage"}};
  for (auto const& [reason, name] : kReasons) {
    out << "tallyd_connections_refused_total{reason=\"" << name << "\"} "
        << (thread_ != nullptr ? thread_->Refusals(reason) : 0) << '\n';
  }
  Family(out, "tallyd_register_full", "gauge", "1 while the register turns new clients away.");
  out << "tallyd_register_full " << (maxClients != 0 && clients >= maxClients ? 1 : 0) << '\n';
  Family(out, "tallyd_start_time_seconds", "gauge", "Start of the service, seconds since the epoch.");
  out << "tallyd_start_time_seconds " << startTime_ << '\n';
  Family(out, "tallyd_build_info", "gauge", "The running build.");
  out << "tallyd_build_info{version=\"" << TALLY_VERSION << "\"} 1\n";
  return out.str();
}

}  // namespace norla_server
