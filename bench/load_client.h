#pragma once

// The load: `concurrency` connections in flight on one thread, each carrying
// one request and its reply, the next started as soon as one ends.
//
// A request's latency runs from the start of its connect to the last byte of
// its reply; the connection is then read to end-of-stream, so the daemon's
// shutdown is part of every exchange but not of its latency.

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_options.h"
#include "bench/latency_recorder.h"
#include "bench/request_plan.h"

namespace tally_bench {

// Reply code under which echo mode counts its replies.
constexpr int kEchoCode = 0;

struct TRunStats {
  LatencyRecorder latency;                       // measured replies
  std::map<int, unsigned long> codes;            // measured replies by code
  std::map<std::string, unsigned long> errors;   // every error of the run, by kind
  std::map<std::string, std::string> firstError; // the first detail seen per kind
  unsigned long replies = 0;                     // measured replies
  unsigned long started = 0;                     // requests started, warm-up included
  unsigned long checkRequests = 0;               // sent around the run by the CurrentClients check
  double seconds = 0;                            // measured time

  unsigned long ErrorCount() const;
  double RequestsPerSecond() const { return seconds > 0 ? replies / seconds : 0; }
};

class LoadClient {
 public:
  // `uniqueIds[i]` is the UniqueID of the plan's id i. Both must outlive Run.
  LoadClient(BenchOptions const& options, RequestPlan& plan,
             std::vector<std::string> const& uniqueIds);
  ~LoadClient();
  LoadClient(LoadClient const&) = delete;
  LoadClient& operator=(LoadClient const&) = delete;

  // Runs until `warmup` plus `duration` seconds have passed, `maxReplies`
  // replies were measured (0: no limit) or the plan has nothing left; then
  // waits for the requests in flight. Replies during the warm-up update the
  // plan but are not measured.
  TRunStats Run(double warmupSeconds, double durationSeconds, unsigned long maxReplies);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tally_bench
