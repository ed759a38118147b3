#pragma once

// What tally-bench prints: a table for people and one RESULT line for scripts.

#include <cstdio>
#include <string>

#include "bench/bench_options.h"
#include "bench/load_client.h"

namespace tally_bench {

// The CurrentClients check: the count before the load, after it (when the
// model knows every id's state, the daemon must hold baseline + registered),
// and after the drain (back at the baseline).
struct TConsistency {
  bool checked = false;
  bool reachable = true;             // the PINGs of the check were answered
  unsigned long baseline = 0;
  unsigned long afterLoad = 0;
  unsigned long expectedAfterLoad = 0;
  bool afterLoadKnown = false;       // no id was uncertain after the load
  unsigned long end = 0;
  std::size_t unresolved = 0;        // ids the drain could not settle
  unsigned long drainRequests = 0;
  unsigned long drainErrors = 0;

  bool Ok() const;
};

// "RESULT key=value ..." on one line; keys: mode concurrency seconds replies
// rps p50_us p90_us p99_us max_us errors consistent (yes, no or skipped) and
// sent (every request of the run, warm-up and check included, for working
// out the server's cost per request).
std::string ResultLine(BenchOptions const& options, TRunStats& stats,
                       TConsistency const& consistency);

void PrintReport(std::FILE* out, BenchOptions const& options, TRunStats& stats,
                 TConsistency const& consistency);

}  // namespace tally_bench
