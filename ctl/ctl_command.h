#pragma once

// tallyctl's command line as data. Parsing has no side effects, so every
// usage error can be checked without a daemon.

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include "ctl/admin_url.h"

namespace tallyctl {

enum class Verb { kStatus, kList, kShow, kRelease, kReload, kTop, kReport };
// How `report` groups its rows.
enum class ReportBy { kDay, kHour, kApp };

constexpr char kDefaultAdminUrl[] = "http://127.0.0.1:14356";
constexpr std::size_t kDefaultListLimit = 100;
extern char const kUsage[];

struct CtlCommand {
  AdminUrl admin;
  std::string tokenFile;
  Verb verb = Verb::kStatus;
  std::string id;  // show, release
  std::string app;  // list filters
  std::string address;
  std::size_t limit = kDefaultListLimit;
  bool json = false;
  bool help = false;
  // report: [from, to) in epoch seconds (0: the default), grouping, output.
  std::time_t from = 0;
  std::time_t to = 0;
  ReportBy by = ReportBy::kDay;
  bool csv = false;
  std::string stateFile;  // read directly instead of asking the daemon

  // On a usage error `error` says what was wrong; otherwise it is cleared.
  static CtlCommand Parse(std::vector<std::string> const& args, std::string& error);
};

}  // namespace tallyctl
