#include "server/admin_router.h"

#include <openssl/crypto.h>

#include <boost/algorithm/string/predicate.hpp>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>

#include "base/utc_time.h"
#include "server/admin_query.h"
#include "server/client_list_json.h"
#include "server/status_page.h"

namespace tally_admin {

namespace {

using json = nlohmann::ordered_json;

constexpr char kClientsPath[] = "/api/v1/clients";
// Periods in one answer at most: a week of minutes, 400 days of hours.
constexpr std::int64_t kMaxPeriods = 10080;
constexpr std::time_t kDefaultRangeSeconds = 86400;
constexpr std::pair<char const*, std::int64_t> kSteps[] = {
    {"minute", 60}, {"hour", 3600}, {"day", 86400}};

std::string Rfc3339(std::time_t time) {
  return tally::FormatUtcTime(time);
}

// A JSON body already written out.
Response TextResponse(http::status status, std::string body, Request const& request) {
  Response response(status, request.version());
  response.set(http::field::content_type, "application/json");
  response.set(http::field::cache_control, "no-store");
  response.keep_alive(request.keep_alive());
  response.body() = std::move(body);
  response.prepare_payload();
  return response;
}

Response JsonResponse(http::status status, json const& body, Request const& request) {
  // AppIDs and UniqueIDs are whatever bytes clients sent: a bad one becomes
  // U+FFFD instead of failing the whole response.
  return TextResponse(status, body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n",
                      request);
}

Response Error(http::status status, std::string const& message, Request const& request) {
  return ErrorResponse(status, message, request.version(), request.keep_alive());
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
    QueryParams params;
    std::string why;
    if (!ParseQuery(query, params, why)) return Error(http::status::bad_request, why, request);
    if (params.count("from") + params.count("to") + params.count("step") != 0) {
      return Usage(params, request);
    }
    std::size_t minutes = 0;
    if (!ParseMinutes(params, minutes, why)) return Error(http::status::bad_request, why, request);
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
    QueryParams params;
    AdminClientQuery page;
    std::string why;
    if (!ParseQuery(query, params, why) || !ParsePageQuery(params, page, why)) {
      return Error(http::status::bad_request, why, request);
    }
    std::size_t const limit = page.limit;
    page.limit = limit + 1;  // one more tells whether another page follows
    std::vector<AdminClient> clients = source_.Clients(page);
    bool const more = clients.size() > limit;
    if (more) clients.resize(limit);
    std::string const* next = more ? &clients.back().uniqueId : nullptr;
    return TextResponse(http::status::ok, ClientListJson(clients, next), request);
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
      return TextResponse(http::status::ok, ClientJson(*client), request);
    }
    if (method == http::verb::delete_) {
      if (!source_.Release(id)) return Error(http::status::not_found, "no such client", request);
      return JsonResponse(http::status::ok, json{{"released", id}}, request);
    }
    return Error(http::status::method_not_allowed, "use GET or DELETE", request);
  }
  return Error(http::status::not_found, "no such endpoint", request);
}

Response AdminRouter::Usage(QueryParams& params, Request const& request) {
  std::string why;
  AdminRange range;
  range.to = std::time(nullptr);
  range.from = range.to - kDefaultRangeSeconds;
  if (!ParseTimes(params, range.from, range.to, why)) {
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
  QueryParams params;
  std::string why;
  AdminEventQuery events;
  events.to = std::numeric_limits<std::time_t>::max();
  if (!ParseQuery(query, params, why) || !ParseTimes(params, events.from, events.to, why)) {
    return Error(http::status::bad_request, why, request);
  }
  events.uniqueId = params["unique_id"];
  events.appId = params["app"];
  std::size_t limit = 100;
  if (params.count("after") != 0 &&
      !ParseWhole(params["after"], 0, std::numeric_limits<std::int64_t>::max(), events.after)) {
    return Error(http::status::bad_request, "after must be an event id", request);
  }
  if (!ParseCount(params, "limit", kMaxPageLimit, limit, why)) {
    return Error(http::status::bad_request, why, request);
  }
  if (!source_.HasStateFile()) {
    return Error(http::status::not_found, "no state-file is set: events are not kept", request);
  }
  events.limit = limit + 1;  // one more tells whether another page follows
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
