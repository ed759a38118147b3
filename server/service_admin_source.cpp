#include "server/service_admin_source.h"

#include <algorithm>
#include <iomanip>
#include <map>
#include <sstream>

#include "base/utf8_text.h"
#include "server/log_stream.h"
#include "server/usage_history.h"
#include "transport/traffic_counts.h"

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

// A label value as the text format wants it: backslash, quote and newline
// escaped, and AppIDs (any bytes a client sent) made valid UTF-8, since one
// bad byte would make a scraper reject the whole page.
std::string LabelValue(std::string const& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    std::size_t const length = tally::Utf8SequenceLength(text, at);
    if (length == 0) {
      escaped += tally::kReplacementCharacter;
      ++at;
      continue;
    }
    char const c = text[at];
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped.append(text, at, length);
    }
    at += length;
  }
  return escaped;
}

void RequestDurations(std::ostringstream& out, KTrafficCounts const* traffic) {
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i <= KTrafficCounts::kBucketBounds.size(); ++i) {
    cumulative += traffic != nullptr ? traffic->Bucket(i) : 0;
    out << "tallyd_request_duration_seconds_bucket{le=\"";
    if (i < KTrafficCounts::kBucketBounds.size()) {
      out << static_cast<double>(KTrafficCounts::kBucketBounds[i].count()) / 1e6;
    } else {
      out << "+Inf";
    }
    out << "\"} " << cumulative << '\n';
  }
  std::uint64_t const micros = traffic != nullptr ? traffic->SumMicroseconds() : 0;
  out << "tallyd_request_duration_seconds_sum " << micros / 1000000 << '.' << std::setw(6)
      << std::setfill('0') << micros % 1000000 << std::setfill(' ') << '\n';
  out << "tallyd_request_duration_seconds_count " << cumulative << '\n';
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
  status.clientsByApp = UsageHistory::Top(handler_.Table().CountsByApp(), UsageHistory::kTopApps);
  return status;
}

std::vector<tally_admin::AdminClient> KServiceAdminSource::Clients(
    tally_admin::AdminClientQuery const& query) {
  PageQuery page;
  page.after = query.after;
  page.limit = query.limit;
  page.prefix = query.prefix;
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
  Family(out, "tallyd_requests_total", "counter", "Requests answered, by command and reply code.");
  static constexpr char const* kCommandNames[kCommandSlots] = {"PING", "LOGIN", "ALIVE", "EXIT",
                                                               "other"};
  for (RequestCount const& count : handler_.RequestCountsByCommand()) {
    out << "tallyd_requests_total{command=\"" << kCommandNames[static_cast<std::size_t>(count.command)]
        << "\",code=\"" << count.code << "\"} " << count.count << '\n';
  }
  Family(out, "tallyd_connections_refused_total", "counter",
         "Connections closed without data, by reason.");
  static constexpr std::pair<RefusalReason, char const*> kReasons[] = {
      {RefusalReason::kAccessList, "access_list"},
      {RefusalReason::kPerAddressCap, "per_address_cap"},
      {RefusalReason::kDescriptorShortage, "descriptor_shortage"},
      {RefusalReason::kProxyHeader, "proxy_header"}};
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

  Family(out, "tallyd_clients_by_app", "gauge",
         "Clients in the register by AppID: the 100 largest, the rest as other.");
  for (auto const& [app, count] :
       UsageHistory::Top(handler_.Table().CountsByApp(), UsageHistory::kTopApps)) {
    out << "tallyd_clients_by_app{app=\"" << LabelValue(app) << "\"} " << count << '\n';
  }
  KTrafficCounts const* traffic = thread_ != nullptr ? thread_->Traffic() : nullptr;
  Family(out, "tallyd_connections_total", "counter", "Connections accepted.");
  out << "tallyd_connections_total " << (traffic != nullptr ? traffic->Connections() : 0) << '\n';
  Family(out, "tallyd_request_duration_seconds", "histogram",
         "Time from accept to reply written.");
  RequestDurations(out, traffic);
  Family(out, "tallyd_sweep_duration_seconds", "gauge", "Duration of the last idle sweep.");
  out << "tallyd_sweep_duration_seconds " << handler_.LastSweepSeconds() << '\n';
  if (handler_.HasSharedTable()) {
    Family(out, "tallyd_store_timeouts_total", "counter",
           "Requests closed unanswered: the shared store did not answer in time.");
    out << "tallyd_store_timeouts_total " << handler_.StoreTimeouts() << '\n';
  }
  Family(out, "tallyd_log_lines_dropped_total", "counter",
         "Log lines dropped while the system log was not accepting them.");
  out << "tallyd_log_lines_dropped_total " << LogStream::Process().DroppedTotal() << '\n';
  return out.str();
}

std::vector<tally_admin::AdminSample> KServiceAdminSource::History(std::size_t minutes) {
  std::vector<tally_admin::AdminSample> samples;
  for (UsageHistory::Sample& sample : handler_.History().Last(minutes)) {
    samples.push_back({sample.time, sample.clients, std::move(sample.byApp)});
  }
  return samples;
}

HistoryQuery* KServiceAdminSource::StateHistory(std::string& why) {
  if (stateFile_.empty()) {
    why = "no state-file is set: only the last 24 hours are kept, as ?minutes=N";
    return nullptr;
  }
  if (!history_ || !history_->ok()) history_ = std::make_unique<HistoryQuery>(stateFile_);
  if (history_->ok()) return history_.get();
  why = "state file " + stateFile_ + ": " + history_->Error();
  return nullptr;
}

namespace {

tally_admin::AdminPeriod AdminPeriodOf(UsagePeriod const& period) {
  auto const figures = [](UsageFigures const& f) {
    return tally_admin::AdminFigures{f.max, f.average, f.distinct};
  };
  tally_admin::AdminPeriod admin{period.start, period.samples, figures(period.clients), {}};
  for (auto const& [app, f] : period.byApp) admin.byApp.emplace_back(app, figures(f));
  return admin;
}

}  // namespace

namespace {

// Sums of the samples of one period, by AppID too.
struct PeriodSums {
  std::size_t samples = 0;
  std::size_t max = 0;
  std::size_t sum = 0;
  std::map<std::string, std::pair<std::size_t, std::size_t>> byApp;  // max, sum

  void Add(UsageHistory::Sample const& sample) {
    ++samples;
    max = std::max(max, sample.clients);
    sum += sample.clients;
    for (auto const& [app, count] : sample.byApp) {
      auto& [appMax, appSum] = byApp[app];
      appMax = std::max(appMax, count);
      appSum += count;
    }
  }

  tally_admin::AdminPeriod Period(std::time_t start) const {
    auto const average = [this](std::size_t total) {
      return samples != 0 ? static_cast<double>(total) / static_cast<double>(samples) : 0.0;
    };
    tally_admin::AdminPeriod period{start, samples, {max, average(sum), 0}, {}};
    for (auto const& [app, figures] : byApp) {
      period.byApp.emplace_back(app, tally_admin::AdminFigures{figures.first, average(figures.second), 0});
    }
    return period;
  }
};

}  // namespace

tally_admin::AdminUsage KServiceAdminSource::MemoryUsage(tally_admin::AdminRange const& range) {
  std::map<std::time_t, PeriodSums> periods;
  PeriodSums total;
  for (UsageHistory::Sample const& sample : handler_.History().Last(UsageHistory::kMinutes)) {
    if (sample.time < range.from || sample.time >= range.to) continue;
    periods[sample.time - sample.time % range.stepSeconds].Add(sample);
    total.Add(sample);
  }
  tally_admin::AdminUsage usage;
  for (auto const& [start, sums] : periods) usage.periods.push_back(sums.Period(start));
  usage.total = total.Period(range.from);
  return usage;
}

bool KServiceAdminSource::Usage(tally_admin::AdminRange const& range,
                                tally_admin::AdminUsage& usage, std::string& why) {
  if (stateFile_.empty()) {
    usage = MemoryUsage(range);
    return true;
  }
  HistoryQuery* history = StateHistory(why);
  std::vector<UsagePeriod> periods, total;
  if (history == nullptr) return false;
  if (!history->Periods(range.from, range.to, range.stepSeconds, 0, periods) ||
      !history->Periods(range.from, range.to, range.to - range.from, range.from, total)) {
    why = history->Error();
    return false;
  }
  for (UsagePeriod const& period : periods) usage.periods.push_back(AdminPeriodOf(period));
  usage.total = total.empty() ? tally_admin::AdminPeriod{range.from, 0, {}, {}}
                              : AdminPeriodOf(total.front());
  return true;
}

bool KServiceAdminSource::Events(tally_admin::AdminEventQuery const& query,
                                 std::vector<tally_admin::AdminEvent>& events, std::string& why) {
  HistoryQuery* history = StateHistory(why);
  if (history == nullptr) return false;
  std::vector<StoredEvent> stored;
  if (!history->Events({query.from, query.to, query.uniqueId, query.appId, query.after, query.limit},
                       stored)) {
    why = history->Error();
    return false;
  }
  for (StoredEvent& event : stored) {
    events.push_back({event.id, event.time, std::move(event.event), std::move(event.uniqueId),
                      std::move(event.appId), std::move(event.address)});
  }
  return true;
}

}  // namespace norla_server
