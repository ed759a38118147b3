#include "ctl/ctl_runner.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "ctl/state_file_usage.h"
#include "ctl/table_format.h"
#include "ctl/usage_report.h"

namespace tallyctl {

namespace {

namespace http = boost::beast::http;

constexpr char kStatusPath[] = "/api/v1/status";
constexpr char kClientsPath[] = "/api/v1/clients";
constexpr std::size_t kMaxPage = 10000;  // the interface's own bound
constexpr std::time_t kTopPeriodSeconds = 2;
constexpr char kClearScreen[] = "\x1b[H\x1b[2J";
constexpr int kHttpOk = 200;
constexpr int kHttpMultipleChoices = 300;
constexpr std::time_t kDefaultReportSeconds = 30 * 86400;
constexpr std::int64_t kSecondsPerHour = 3600;
constexpr std::int64_t kSecondsPerDay = 86400;

void Write(std::string const& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// True when SIGINT or SIGTERM came within the period.
bool Interrupted(sigset_t const& stops) {
  timespec const period{kTopPeriodSeconds, 0};
  return sigtimedwait(&stops, nullptr, &period) > 0;
}

}  // namespace

int CtlRunner::Run() {
  std::string const clientPath = std::string(kClientsPath) + "/" + UrlEncode(command_.id);
  switch (command_.verb) {
    case Verb::kStatus: return Print(http::verb::get, kStatusPath);
    case Verb::kList: return List();
    case Verb::kShow: return Print(http::verb::get, clientPath);
    case Verb::kRelease: return Print(http::verb::delete_, clientPath);
    case Verb::kReload: return Print(http::verb::post, "/api/v1/reload");
    case Verb::kTop: return Top();
    case Verb::kReport: return Report();
  }
  return kExitUsage;
}

int CtlRunner::Fetch(http::verb method, std::string const& target, json& out) {
  HttpAnswer const answer = client_.Send(method, target);
  std::string const where = command_.admin.Authority() + target;
  if (answer.status == 0) {
    std::fprintf(stderr, "tallyctl: %s: %s\n", where.c_str(), answer.failure.c_str());
    return kExitUnreachable;
  }
  out = json::parse(answer.body, nullptr, false);
  if (out.is_discarded()) {
    std::fprintf(stderr, "tallyctl: %s: HTTP %d with a body that is not JSON\n", where.c_str(),
                 answer.status);
    return kExitUnreachable;
  }
  if (answer.status < kHttpOk || answer.status >= kHttpMultipleChoices) {
    std::string const why = out.contains("error") ? TableFormat::Text(out["error"]) : "";
    std::fprintf(stderr, "tallyctl: %s: HTTP %d %s\n", where.c_str(), answer.status, why.c_str());
    return kExitRefused;
  }
  return kExitOk;
}

int CtlRunner::Print(http::verb method, std::string const& target) {
  json answer;
  if (int const status = Fetch(method, target, answer); status != kExitOk) return status;
  Write(command_.json ? answer.dump(2) + "\n" : TableFormat::KeyValues(answer));
  return kExitOk;
}

int CtlRunner::Collect(std::size_t limit, json& clients, std::string& next) {
  clients = json::array();
  next.clear();
  std::string filters;
  if (!command_.app.empty()) filters += "&app=" + UrlEncode(command_.app);
  if (!command_.address.empty()) filters += "&address=" + UrlEncode(command_.address);
  do {
    std::size_t const want = std::min(limit - clients.size(), kMaxPage);
    std::string target = std::string(kClientsPath) + "?limit=" + std::to_string(want) + filters;
    if (!next.empty()) target += "&after=" + UrlEncode(next);
    json page;
    if (int const status = Fetch(http::verb::get, target, page); status != kExitOk) return status;
    for (json& client : page["clients"]) clients.push_back(std::move(client));
    next = page.contains("next") ? TableFormat::Text(page["next"]) : "";
  } while (!next.empty() && clients.size() < limit);
  return kExitOk;
}

int CtlRunner::List() {
  json clients;
  std::string next;
  if (int const status = Collect(command_.limit, clients, next); status != kExitOk) return status;
  if (!command_.json) {
    Write(TableFormat::Clients(clients));
    return kExitOk;
  }
  json answer{{"clients", std::move(clients)}};
  if (!next.empty()) answer["next"] = next;
  Write(answer.dump(2) + "\n");
  return kExitOk;
}

int CtlRunner::Top() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_BLOCK, &stops, nullptr);  // taken by sigtimedwait instead
  bool const terminal = isatty(STDOUT_FILENO) == 1;
  do {
    json status, clients;
    std::string next;
    if (int const code = Fetch(http::verb::get, kStatusPath, status); code != kExitOk) return code;
    if (int const code = Collect(kDefaultListLimit, clients, next); code != kExitOk) return code;
    std::string screen = terminal ? kClearScreen : "";
    screen += "tallyd " + TableFormat::Text(status["version"]) + "  up " +
              TableFormat::Text(status["uptime_seconds"]) + " s  clients " +
              TableFormat::Text(status["current_clients"]) + " (peak " +
              TableFormat::Text(status["peak_clients"]) + ")  port " +
              TableFormat::Text(status["port"]) + "\n\n" + TableFormat::Clients(clients);
    if (!next.empty()) screen += "(more)\n";
    Write(terminal ? screen : screen + "\n");
  } while (!Interrupted(stops));
  return kExitOk;
}

}  // namespace tallyctl

namespace tallyctl {

int CtlRunner::Report() {
  std::time_t const to = command_.to != 0 ? command_.to : std::time(nullptr);
  std::time_t const from = command_.from != 0 ? command_.from : to - kDefaultReportSeconds;
  bool const hours = command_.by == ReportBy::kHour;
  json usage;
  if (!command_.stateFile.empty()) {
    std::string error;
    if (from >= to) error = "--from must come before --to";
    if (!error.empty() ||
        !StateFileUsage::Read(command_.stateFile, from, to, hours ? kSecondsPerHour : kSecondsPerDay,
                              usage, error)) {
      std::fprintf(stderr, "tallyctl: %s: %s\n", command_.stateFile.c_str(), error.c_str());
      return kExitRefused;
    }
  } else {
    std::string const target = "/api/v1/history?from=" + std::to_string(from) +
                               "&to=" + std::to_string(to) + "&step=" + (hours ? "hour" : "day");
    if (int const status = Fetch(http::verb::get, target, usage); status != kExitOk) return status;
  }
  std::vector<UsageReport::Row> const rows = UsageReport::Rows(usage, command_.by);
  Write(command_.csv ? UsageReport::Csv(rows, command_.by) : UsageReport::Table(rows, command_.by));
  return kExitOk;
}

}  // namespace tallyctl
