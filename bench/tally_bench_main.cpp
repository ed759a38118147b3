// tally-bench: drives a running tallyd, or tally-refserver in echo mode, over
// TCP and reports throughput, latency, replies and errors.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_options.h"
#include "bench/bench_report.h"
#include "bench/load_client.h"
#include "bench/request_plan.h"
#include "client/request_builder.h"
#include "client/tally_client.h"

namespace {

using namespace tally_bench;

// The CurrentClients of a PING reply; false when the daemon did not answer.
bool PingCount(BenchOptions const& options, unsigned long& count, std::string& error) {
  tally::ClientOptions client;
  client.host = options.host;
  client.port = options.port;
  client.timeout = options.timeout;
  client.bodySize = options.bodySize;
  tally::ExchangeResult result =
      tally::SendCommand(client, norla::kNorlaPing, options.product, "", "");
  if (result.error != tally::ExchangeError::kNone) {
    error = std::string(tally::ExchangeErrorText(result.error)) +
            (result.detail.empty() ? "" : ": " + result.detail);
    return false;
  }
  count = result.reply.currentClients;
  return true;
}

std::vector<std::string> MakeUniqueIds(BenchOptions const& options) {
  std::string prefix = options.idPrefix;
  if (prefix.empty()) {
    auto stamp = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    prefix = "bench-" + std::to_string(getpid()) + "-" + std::to_string(stamp);
  }
  std::vector<std::string> ids(options.ids);
  for (unsigned i = 0; i < options.ids; ++i) ids[i] = prefix + "-" + std::to_string(i);
  return ids;
}

}  // namespace

int main(int argc, char** argv) {
  BenchOptions options;
  std::string error;
  bool help = false;
  if (!ParseBenchOptions(argc, argv, options, error, help)) {
    std::fprintf(stderr, "tally-bench: %s\n%s", error.c_str(), BenchUsage().c_str());
    return 2;
  }
  if (help) {
    std::fputs(BenchUsage().c_str(), stdout);
    return 0;
  }

  std::vector<std::string> uniqueIds = MakeUniqueIds(options);
  RequestPlan plan(options.ids, options.mix, std::random_device{}());
  LoadClient client(options, plan, uniqueIds);
  TConsistency consistency;
  consistency.checked = options.mode == BenchMode::kTallyd && options.check;

  if (consistency.checked && !PingCount(options, consistency.baseline, error)) {
    std::fprintf(stderr, "tally-bench: %s port %u: %s\n", options.host.c_str(),
                 static_cast<unsigned>(options.port), error.c_str());
    return 1;
  }

  TRunStats stats = client.Run(options.warmupSeconds, options.durationSeconds,
                               options.maxRequests);

  if (consistency.checked) {
    consistency.expectedAfterLoad = consistency.baseline + plan.Registered();
    consistency.afterLoadKnown = plan.Uncertain() == 0;
    consistency.reachable = PingCount(options, consistency.afterLoad, error);
    plan.StartDrain();
    // Bounded: a daemon that stops answering must not keep the drain going.
    TRunStats drain = client.Run(0, std::max(30.0, options.durationSeconds), 0);
    consistency.drainRequests = drain.started;
    consistency.drainErrors = drain.ErrorCount();
    consistency.unresolved = plan.Registered() + plan.Uncertain();
    if (!PingCount(options, consistency.end, error)) consistency.reachable = false;
    stats.checkRequests = 3 + drain.started;  // the three PINGs and the EXITs
  }

  PrintReport(stdout, options, stats, consistency);
  bool clean = stats.ErrorCount() == 0 && (!consistency.checked || consistency.Ok());
  return clean ? 0 : 1;
}
