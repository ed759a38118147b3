#pragma once

// Carries out one parsed command against the admin interface and maps what
// came back to tallyctl's exit status.

#include <nlohmann/json.hpp>
#include <string>

#include "ctl/admin_http_client.h"
#include "ctl/ctl_command.h"

namespace tallyctl {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;

class CtlRunner {
 public:
  CtlRunner(CtlCommand command, AdminHttpClient client)
      : command_(std::move(command)), client_(std::move(client)) {}

  int Run();

 private:
  using json = nlohmann::ordered_json;

  // The answer's JSON in `out`; otherwise prints why and returns the exit status.
  int Fetch(boost::beast::http::verb method, std::string const& target, json& out);
  int Print(boost::beast::http::verb method, std::string const& target);
  int List();
  int Top();
  int Report();
  // Up to `limit` clients, following "next"; `next` is set when more remain.
  int Collect(std::size_t limit, json& clients, std::string& next);

  CtlCommand command_;
  AdminHttpClient client_;
};

}  // namespace tallyctl
