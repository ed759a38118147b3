#include "server/admin_router.h"

#include <openssl/crypto.h>

#include <boost/algorithm/string/predicate.hpp>
#include <charconv>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>

#include "base/utc_time.h"
#include "server/status_page.h"

namespace tally_admin {

namespace {

using json = nlohmann::ordered_json;

constexpr std::size_t kMaxPageLimit = 10000;
constexpr std::size_t kMaxHistoryMinutes = 1440;
constexpr char kClientsPath[] = "/api/v1/clients";
// Periods in one answer at most: a week of minutes, 400 days of hours.
constexpr std::int64_t kMaxPeriods = 10080;
constexpr std::time_t kDefaultRangeSeconds = 86400;
constexpr std::pair<char const*, std::int64_t> kSteps[] = {
    {"minute", 60}, {"hour", 3600}, {"day", 86400}};

std::string Rfc3339(std::time_t time) {
  return tally::FormatUtcTime(time);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding; '+' stays '+' (UniqueIDs may hold it). False on a bad escape.
bool UrlDecode(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    int const high = HexValue(text[i + 1]);
    int const low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

Response JsonResponse(http::status status, json const& body, Request const& request) {
  Response response(status, request.version());
  response.set(http::field::content_type, "application/json");
  response.set(http::field::cache_control, "no-store");
  response.keep_alive(request.keep_alive());
  // AppIDs and UniqueIDs are whatever bytes clients sent: a bad one becomes
  // U+FFFD instead of failing the whole response.
  response.body() = body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  response.prepare_payload();
  return response;
}

Response Error(http::status status, std::string const& message, Request const& request) {
  return ErrorResponse(status, message, request.version(), request.keep_alive());
}

json ClientJson(AdminClient const& client) {
  return json{{"unique_id", client.uniqueId},
              {"app_id", client.appId},
              {"address", client.address},
              {"logins", client.logins},
              {"first_seen", Rfc3339(client.firstSeen)},
              {"last_seen", Rfc3339(client.lastSeen)},
              {"idle_seconds", client.idleSeconds}};
}

json StatusJson(AdminStatus const& status) {
  json codes = json::object();
  for (auto const& [code, count] : status.requestsByCode) codes[std::to_string(code)] = count;
  // An array keeps the order: largest first.
  json byApp = json::array();
  for (auto const& [app, count] : status.clientsByApp) {
    byApp.push_back(json{{"app_id", app}, {"clients", count}});
  }
  return json{{"version", status.version},
              {"start_time", Rfc3339(status.startTime)},
              {"uptime_seconds", status.uptimeSeconds},
              {"port", status.port},
              {"current_clients", status.currentClients},
              {"peak_clients", status.peakClients},
              {"peak_time", status.peakTime != 0 ? json(Rfc3339(status.peakTime)) : json()},
              {"client_timeout_seconds", status.clientTimeoutSeconds},
              {"max_clients", status.maxClients},
              {"requests_by_code", codes},
              {"access_lists",
               {{"deny", status.denyPatterns},
                {"allow", status.allowPatterns},
                {"loaded_at", Rfc3339(status.listsLoadedAt)}}},
              {"clients_by_app", byApp}};
}

// The query's parameters into `query`; false (with `why`) on a bad one.
bool ParsePageQuery(std::string_view text, AdminClientQuery& query, std::string& why) {
  while (!text.empty()) {
    std::size_t const end = std::min(text.find('&'), text.size());
    std::string_view const pair = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    std::size_t const equals = std::min(pair.find('='), pair.size());
    std::string name, value;
    if (!UrlDecode(pair.substr(0, equals), name) ||
        !UrlDecode(pair.substr(std::min(equals + 1, pair.size())), value)) {
      why = "bad percent escape in the query";
      return false;
    }
    if (name == "app") {
      query.appId = value;
    } else if (name == "address") {
      query.address = value;
    } else if (name == "prefix") {
      query.prefix = value;
    } else if (name == "after") {
      query.after = value;
    } else if (name == "limit") {
      auto const result = std::from_chars(value.data(), value.data() + value.size(), query.limit);
      if (result.ec != std::errc() || result.ptr != value.data() + value.size() ||
          query.limit == 0 || query.limit > kMaxPageLimit) {
        why = "limit must be a whole number from 1 to 10000";
        return false;
      }
    }
  }
  return true;
}

// The history's "minutes" (default 60) into `minutes`; false on a bad one.
bool ParseMinutes(std::string_view text, std::size_t& minutes) {
  minutes = 60;
  while (!text.empty()) {
    std::size_t const end = std::min(text.find('&'), text.size());
    std::string_view const pair = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (pair.substr(0, 8) != "minutes=") continue;
    std::string_view const value = pair.substr(8);
    auto const result = std::from_chars(value.data(), value.data() + value.size(), minutes);
    if (result.ec != std::errc() || result.ptr != value.data() + value.size() || minutes == 0 ||
        minutes > kMaxHistoryMinutes) {
      return false;
    }
  }
  return true;
}

json HistoryJson(std::vector<AdminSample> const& samples) {
  json body{{"samples", json::array()}};
  for (AdminSample const& sample : samples) {
    json byApp = json::object();
    for (auto const& [app, count] : sample.byApp) byApp[app] = count;
    body["samples"].push_back(
        json{{"time", Rfc3339(sample.time)}, {"clients", sample.clients}, {"by_app", byApp}});
  }
  return body;
}

std::string_view PathOf(Request const& request) {
  std::string_view const target(request.target().data(), request.target().size());
  return target.substr(0, target.find('?'));
}

// The page's files need no token: the page asks for it and sends it itself.
PageFile const* PageFileFor(Request const& request, std::string_view& contentType) {
  if (request.method() != http::verb::get) return nullptr;
  return FindPageFile(PathOf(request), contentType);
}

Response PageResponse(PageFile const& file, std::string_view contentType, Request const& request) {
  Response response(http::status::ok, request.version());
  response.set(http::field::content_type,
               boost::beast::string_view(contentType.data(), contentType.size()));
  response.set(http::field::cache_control, "no-cache");
  // Only its own files and API: no other page can frame it or feed it scripts.
  response.set("Content-Security-Policy",
               "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
               "img-src 'self' data:; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Referrer-Policy", "no-referrer");
  response.keep_alive(request.keep_alive());
  response.body().assign(file.body.data(), file.body.size());
  response.prepare_payload();
  return response;
}

// Every name=value of the query, decoded; false (with `why`) on a bad escape.
bool QueryParams(std::string_view text, std::map<std::string, std::string>& params,
                 std::string& why) {
  while (!text.empty()) {
    std::size_t const end = std::min(text.find('&'), text.size());
    std::string_view const pair = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    std::size_t const equals = std::min(pair.find('='), pair.size());
    std::string name, value;
    if (!UrlDecode(pair.substr(0, equals), name) ||
        !UrlDecode(pair.substr(std::min(equals + 1, pair.size())), value)) {
      why = "bad percent escape in the query";
      return false;
    }
    params[name] = value;
  }
  return true;
}

// A whole number from `low` to `high`; false on anything else.
bool ParseWhole(std::string const& text, std::int64_t low, std::int64_t high, std::int64_t& value) {
  std::int64_t number = 0;
  auto const result = std::from_chars(text.data(), text.data() + text.size(), number);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size() || number < low ||
      number > high) {
    return false;
  }
  value = number;
  return true;
}

// `from` and `to` of the query (each kept when absent); false
// (with `why`) on a bad one.
bool ParseTimes(std::map<std::string, std::string> const& params, std::time_t& from,
                std::time_t& to, std::string& why) {
  for (auto [name, time] : {std::pair{"from", &from}, std::pair{"to", &to}}) {
    auto const found = params.find(name);
    if (found != params.end() && !tally::ParseUtcTime(found->second, *time)) {
      why = std::string(name) + " must be a UTC time like 2026-12-06T21:00:00Z, a date or epoch seconds";
      return false;
    }
  }
  if (from < to) return true;
  why = "from must come before to";
  return false;
}

// Distinct clients are counted from events, which only the state file keeps.
json FiguresJson(AdminFigures const& figures, bool distinct) {
  return json{{"max", figures.max},
              {"average", figures.average},
              {"distinct_clients", distinct ? json(figures.distinct) : json()}};
}

json PeriodJson(AdminPeriod const& period, bool distinct) {
  json body{{"start", Rfc3339(period.start)}, {"samples", period.samples}};
  body.update(FiguresJson(period.clients, distinct));
  json byApp = json::object();
  for (auto const& [app, figures] : period.byApp) byApp[app] = FiguresJson(figures, distinct);
  body["by_app"] = std::move(byApp);
  return body;
}

json EventJson(AdminEvent const& event) {
  return json{{"id", event.id},
              {"time", Rfc3339(event.time)},
              {"event", event.event},
              {"unique_id", event.uniqueId},
              {"app_id", event.appId},
              {"address", event.address}};
}

bool HeaderIs(Request const& request, http::field field, std::string_view value) {
  auto const found = request.find(field);
  return found != request.end() && boost::iequals(found->value(), value);
}

}  // namespace

Response ErrorResponse(http::status status, std::string const& message, unsigned version,
                       bool keepAlive) {
  Response response(status, version);
  response.set(http::field::content_type, "application/json");
  response.keep_alive(keepAlive);
  response.body() = json{{"error", message}}.dump() + "\n";
  response.prepare_payload();
  return response;
}

AdminRouter::AdminRouter(IAdminSource& source, std::string authority, unsigned short port,
                         std::string token)
    : source_(source),
      authority_(std::move(authority)),
      localhost_("localhost:" + std::to_string(port)),
      token_(std::move(token)) {}

Response AdminRouter::Handle(Request const& request) {
  std::string why;
  http::status const refusal = Check(request, why);
  if (refusal == http::status::ok) return Route(request);
  Response response = Error(refusal, why, request);
  if (refusal == http::status::unauthorized) {
    response.set(http::field::www_authenticate, "Bearer");
  }
  return response;
}

http::status AdminRouter::Check(Request const& request, std::string& why) const {
  std::string_view contentType;
  if (!token_.empty() && PageFileFor(request, contentType) == nullptr) {
    auto const found = request.find(http::field::authorization);
    auto const value = found != request.end() ? found->value() : boost::beast::string_view();
    std::string_view const given(value.data(), value.size());
    std::string const expected = "Bearer " + token_;
    // Only the length can be learnt from the time taken.
    if (given.size() != expected.size() ||
        CRYPTO_memcmp(given.data(), expected.data(), expected.size()) != 0) {
      why = "a valid bearer token is required";
      return http::status::unauthorized;
    }
  }
  if (!HeaderIs(request, http::field::host, authority_) &&
      !HeaderIs(request, http::field::host, localhost_)) {
    why = "Host must be " + authority_ + " or " + localhost_;
    return http::status::forbidden;
  }
  if (request.method() == http::verb::delete_ || request.method() == http::verb::post) {
    if (request["X-Tallyd-Admin"] != "1") {
      why = "changes need the header X-Tallyd-Admin: 1";
      return http::status::forbidden;
    }
    auto const origin = request.find(http::field::origin);
    if (origin != request.end() && !boost::iequals(origin->value(), "http://" + authority_) &&
        !boost::iequals(origin->value(), "http://" + localhost_)) {
      why = "changes from another origin are refused";
      return http::status::forbidden;
    }
  }
  return http::status::ok;
}

Response AdminRouter::Route(Request const& request) {
  std::string_view const target = PathOf(request);
  std::string_view query(request.target().data(), request.target().size());
  query.remove_prefix(std::min(query.size(), target.size() + 1));
  http::verb const method = request.method();
  bool const get = method == http::verb::get;

  std::string_view contentType;
  if (PageFile const* file = PageFileFor(request, contentType)) {
    return PageResponse(*file, contentType, request);
  }

  if (target == "/api/v1/status") {
    if (!get) return Error(http::status::method_not_allowed, "use GET", request);
    return JsonResponse(http::status::ok, StatusJson(source_.Status()), request);
  }
  if (target == "/metrics") {
    if (!get) return Error(http::status::method_not_allowed, "use GET", request);
    Response response(http::status::ok, request.version());
    response.set(http::field::content_type, "text/plain; version=0.0.4");
    response.keep_alive(request.keep_alive());
    response.body() = source_.Metrics();
    response.prepare_payload();
    return response;
  }
  if (target == "/api/v1/events") {
    if (!get) return Error(http::status::method_not_allowed, "use GET", request);
    return Events(query, request);
  }
  if (target == "/api/v1/history") {
    if (!get) return Error(http::status::method_not_allowed, "use GET", request);
    for (char const* name : {"from=", "to=", "step="}) {
      if (("&" + std::string(query)).find(std::string("&") + name) != std::string::npos) {
        return Usage(query, request);
      }
    }
    std::size_t minutes = 0;
    if (!ParseMinutes(query, minutes)) {
      return Error(http::status::bad_request, "minutes must be a whole number from 1 to 1440",
                   request);
    }
    return JsonResponse(http::status::ok, HistoryJson(source_.History(minutes)), request);
  }
  if (target == "/api/v1/reload") {
    if (method != http::verb::post) {
      return Error(http::status::method_not_allowed, "use POST", request);
    }
    AdminReload const reload = source_.Reload();
    if (!reload.ok) return Error(http::status::internal_server_error, reload.failure, request);
    return JsonResponse(http::status::ok,
                        json{{"deny", reload.denyPatterns}, {"allow", reload.allowPatterns}},
                        request);
  }
  if (target == kClientsPath) {
    if (!get) return Error(http::status::method_not_allowed, "use GET", request);
    AdminClientQuery page;
    std::string why;
    if (!ParsePageQuery(query, page, why)) return Error(http::status::bad_request, why, request);
    std::size_t const limit = page.limit;
    page.limit = limit + 1;  // one more tells whether another page follows
    std::vector<AdminClient> clients = source_.Clients(page);
    bool const more = clients.size() > limit;
    if (more) clients.resize(limit);
    json body{{"clients", json::array()}};
    for (AdminClient const& client : clients) body["clients"].push_back(ClientJson(client));
    if (more) body["next"] = clients.back().uniqueId;
    return JsonResponse(http::status::ok, body, request);
  }
  std::string_view const prefix = "/api/v1/clients/";
  if (target.substr(0, prefix.size()) == prefix && target.size() > prefix.size()) {
    std::string id;
    if (!UrlDecode(target.substr(prefix.size()), id)) {
      return Error(http::status::bad_request, "bad percent escape in the path", request);
    }
    if (get) {
      auto const client = source_.Client(id);
      if (!client) return Error(http::status::not_found, "no such client", request);
      return JsonResponse(http::status::ok, ClientJson(*client), request);
    }
    if (method == http::verb::delete_) {
      if (!source_.Release(id)) return Error(http::status::not_found, "no such client", request);
      return JsonResponse(http::status::ok, json{{"released", id}}, request);
    }
    return Error(http::status::method_not_allowed, "use GET or DELETE", request);
  }
  return Error(http::status::not_found, "no such endpoint", request);
}

Response AdminRouter::Usage(std::string_view query, Request const& request) {
  std::map<std::string, std::string> params;
  std::string why;
  AdminRange range;
  range.to = std::time(nullptr);
  range.from = range.to - kDefaultRangeSeconds;
  if (!QueryParams(query, params, why) || !ParseTimes(params, range.from, range.to, why)) {
    return Error(http::status::bad_request, why, request);
  }
  std::string const step = params.count("step") != 0 ? params["step"] : "hour";
  for (auto const& [name, seconds] : kSteps) {
    if (step == name) range.stepSeconds = seconds;
  }
  if (range.stepSeconds == 0) {
    return Error(http::status::bad_request, "step must be minute, hour or day", request);
  }
  if ((range.to - range.from + range.stepSeconds - 1) / range.stepSeconds > kMaxPeriods) {
    return Error(http::status::bad_request,
                 "at most " + std::to_string(kMaxPeriods) + " periods at a time", request);
  }
  AdminUsage usage;
  if (!source_.Usage(range, usage, why)) {
    return Error(http::status::internal_server_error, why, request);
  }
  json body{{"from", Rfc3339(range.from)}, {"to", Rfc3339(range.to)}, {"step", step},
            {"periods", json::array()}};
  bool const distinct = source_.HasStateFile();
  for (AdminPeriod const& period : usage.periods) {
    body["periods"].push_back(PeriodJson(period, distinct));
  }
  body["total"] = PeriodJson(usage.total, distinct);
  return JsonResponse(http::status::ok, body, request);
}

Response AdminRouter::Events(std::string_view query, Request const& request) {
  std::map<std::string, std::string> params;
  std::string why;
  AdminEventQuery events;
  events.to = std::numeric_limits<std::time_t>::max();
  if (!QueryParams(query, params, why) || !ParseTimes(params, events.from, events.to, why)) {
    return Error(http::status::bad_request, why, request);
  }
  events.uniqueId = params["unique_id"];
  events.appId = params["app"];
  std::int64_t limit = 100;
  if (params.count("after") != 0 &&
      !ParseWhole(params["after"], 0, std::numeric_limits<std::int64_t>::max(), events.after)) {
    return Error(http::status::bad_request, "after must be an event id", request);
  }
  if (params.count("limit") != 0 && !ParseWhole(params["limit"], 1, kMaxPageLimit, limit)) {
    return Error(http::status::bad_request, "limit must be a whole number from 1 to 10000",
                 request);
  }
  if (!source_.HasStateFile()) {
    return Error(http::status::not_found, "no state-file is set: events are not kept", request);
  }
  events.limit = static_cast<std::size_t>(limit) + 1;  // one more tells whether another page follows
  std::vector<AdminEvent> found;
  if (!source_.Events(events, found, why)) {
    return Error(http::status::internal_server_error, why, request);
  }
  bool const more = found.size() > static_cast<std::size_t>(limit);
  if (more) found.resize(static_cast<std::size_t>(limit));
  json body{{"events", json::array()}};
  for (AdminEvent const& event : found) body["events"].push_back(EventJson(event));
  if (more) body["next"] = found.back().id;
  return JsonResponse(http::status::ok, body, request);
}

}  // namespace tally_admin
