#pragma once

// The command line of tally-bench. Socket-free, so every rule is testable.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/protocol_constants.h"

namespace tally_bench {

enum class BenchMode {
  kTallyd,  // real requests; replies decrypted, codes checked against the model
  kEcho,    // the same frames; a reply must be the request echoed with a valid CRC
};

// Relative weights of the commands in the load; zero leaves a command out.
struct TMix {
  unsigned login = 25;
  unsigned alive = 40;
  unsigned exit = 25;
  unsigned ping = 10;
};

struct BenchOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = tally::kDefaultPort;
  BenchMode mode = BenchMode::kTallyd;
  unsigned concurrency = 8;          // connections in flight
  double durationSeconds = 10;       // measured part of the run
  double warmupSeconds = 1;          // load before the measured part
  unsigned long maxRequests = 0;     // stop after this many measured replies; 0: no limit
  unsigned ids = 1000;               // distinct UniqueIDs
  TMix mix;
  std::string product = tally::kProductId;
  std::string appId = "tally-bench";
  std::string idPrefix;              // empty: one unique to this run
  std::chrono::milliseconds timeout{5000};  // per request, connect to last reply byte
  std::size_t bodySize = 512;        // multiple of 16, 16 to 1024
  bool check = true;                 // CurrentClients consistency check (tallyd mode)
  bool quiet = false;                // only the RESULT line
};

// Parses argv[1..]. On false `error` says why. `help` is set for --help,
// with true returned and nothing else parsed.
bool ParseBenchOptions(int argc, char const* const* argv, BenchOptions& options,
                       std::string& error, bool& help);

std::string BenchUsage();

}  // namespace tally_bench
