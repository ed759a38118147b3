#include "ctl/ctl_command.h"

#include <cerrno>
#include <cstdlib>
#include <map>

#include "base/utc_time.h"

namespace tallyctl {

char const kUsage[] =
    "usage: tallyctl [--admin URL] [--token-file F] COMMAND\n"
    "  status                 the daemon's state\n"
    "  list [--app A] [--address X] [--limit N] [--json]\n"
    "                         clients in UniqueID order (default limit 100)\n"
    "  show ID                one client\n"
    "  release ID             removes a client from the register\n"
    "  reload                 re-reads the access lists\n"
    "  top                    redraws status and clients every 2 s until Ctrl-C\n"
    "  report [--from DATE] [--to DATE] [--by day|hour|app] [--csv] [--state-file PATH]\n"
    "                         peak, average and distinct clients per period or AppID\n"
    "                         (default: the last 30 days by day); with --state-file it\n"
    "                         reads the daemon's file, running or not\n"
    "DATE: 2026-12-06, 2026-12-06T21:00:00Z (UTC) or epoch seconds.\n"
    "--admin defaults to http://127.0.0.1:14356; --json prints the daemon's answer.\n"
    "Exit status: 0 done, 1 not found or refused, 2 usage error, 3 daemon unreachable.\n";

namespace {

constexpr unsigned long kMaxLimit = 1000000;

struct VerbInfo {
  Verb verb;
  bool takesId;
};

std::map<std::string, VerbInfo> const kVerbs = {
    {"status", {Verb::kStatus, false}}, {"list", {Verb::kList, false}},
    {"show", {Verb::kShow, true}},      {"release", {Verb::kRelease, true}},
    {"reload", {Verb::kReload, false}}, {"top", {Verb::kTop, false}},
    {"report", {Verb::kReport, false}},
};

std::map<std::string, ReportBy> const kGroupings = {
    {"day", ReportBy::kDay}, {"hour", ReportBy::kHour}, {"app", ReportBy::kApp}};

bool ParseLimit(std::string const& text, std::size_t& limit) {
  char* end = nullptr;
  errno = 0;
  unsigned long const value = std::strtoul(text.c_str(), &end, 10);
  if (errno != 0 || text.empty() || *end != '\0' || text[0] == '-' || value == 0 ||
      value > kMaxLimit) {
    return false;
  }
  limit = value;
  return true;
}

}  // namespace

CtlCommand CtlCommand::Parse(std::vector<std::string> const& args, std::string& error) {
  CtlCommand command;
  std::string url = kDefaultAdminUrl, verbWord;
  bool hasId = false, listOnly = false, reportOnly = false;
  error.clear();
  for (std::size_t i = 0; i < args.size() && error.empty(); ++i) {
    std::string const& arg = args[i];
    bool const hasValue = i + 1 < args.size();
    if (arg == "-h" || arg == "--help") {
      command.help = true;
    } else if (arg == "--json") {
      command.json = true;
    } else if (arg == "--admin" && hasValue) {
      url = args[++i];
    } else if (arg == "--token-file" && hasValue) {
      command.tokenFile = args[++i];
    } else if ((arg == "--app" || arg == "--address") && hasValue) {
      (arg == "--app" ? command.app : command.address) = args[++i];
      listOnly = true;
    } else if (arg == "--limit" && hasValue) {
      if (!ParseLimit(args[++i], command.limit)) error = "invalid limit '" + args[i] + "'";
      listOnly = true;
    } else if ((arg == "--from" || arg == "--to") && hasValue) {
      if (!tally::ParseUtcTime(args[++i], arg == "--from" ? command.from : command.to)) {
        error = "invalid date '" + args[i] + "'";
      }
      reportOnly = true;
    } else if (arg == "--by" && hasValue) {
      auto const found = kGroupings.find(args[++i]);
      if (found == kGroupings.end()) error = "--by takes day, hour or app";
      if (found != kGroupings.end()) command.by = found->second;
      reportOnly = true;
    } else if (arg == "--csv") {
      command.csv = reportOnly = true;
    } else if (arg == "--state-file" && hasValue) {
      command.stateFile = args[++i];
      reportOnly = true;
    } else if (arg.rfind("-", 0) == 0) {
      error = "unknown option or missing value: '" + arg + "'";
    } else if (verbWord.empty()) {
      if (kVerbs.count(arg) == 0) error = "unknown command '" + arg + "'";
      verbWord = arg;
    } else if (kVerbs.at(verbWord).takesId && !hasId) {
      command.id = arg;
      hasId = true;
    } else {
      error = "unexpected argument '" + arg + "'";
    }
  }
  if (!error.empty() || command.help) return command;
  if (verbWord.empty()) {
    error = "no command given";
    return command;
  }
  VerbInfo const info = kVerbs.at(verbWord);
  command.verb = info.verb;
  if (info.takesId && (!hasId || command.id.empty())) error = verbWord + " needs an ID";
  if (listOnly && info.verb != Verb::kList) error = "--app, --address and --limit go with list";
  if (reportOnly && info.verb != Verb::kReport) {
    error = "--from, --to, --by, --csv and --state-file go with report";
  }
  if (command.from != 0 && command.to != 0 && command.from >= command.to) {
    error = "--from must come before --to";
  }
  if (auto const admin = AdminUrl::Parse(url)) {
    command.admin = *admin;
  } else if (error.empty()) {
    error = "--admin must be http://HOST[:PORT], not '" + url + "'";
  }
  return command;
}

}  // namespace tallyctl
