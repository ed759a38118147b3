#include "bench/bench_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace tally_bench {
namespace {

bool ParseUnsigned(std::string const& text, unsigned long min, unsigned long max,
                   unsigned long& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long parsed = std::strtoul(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
  value = parsed;
  return true;
}

bool ParseSeconds(std::string const& text, double min, double max, double& value) {
  if (text.empty() || text[0] == ' ') return false;
  char* end = nullptr;
  errno = 0;
  double parsed = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(parsed) || parsed < min || parsed > max) {
    return false;
  }
  value = parsed;
  return true;
}

// "LOGIN:ALIVE:EXIT:PING" weights, at least one non-zero.
bool ParseMix(std::string const& text, TMix& mix) {
  unsigned long parts[4];
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    std::size_t colon = text.find(':', start);
    bool last = i == 3;
    if (last != (colon == std::string::npos)) return false;
    std::string piece = text.substr(start, last ? std::string::npos : colon - start);
    if (!ParseUnsigned(piece, 0, 1000000, parts[i])) return false;
    start = colon + 1;
  }
  if (parts[0] + parts[1] + parts[2] + parts[3] == 0) return false;
  mix = TMix{static_cast<unsigned>(parts[0]), static_cast<unsigned>(parts[1]),
             static_cast<unsigned>(parts[2]), static_cast<unsigned>(parts[3])};
  return true;
}

}  // namespace

std::string BenchUsage() {
  return "usage: tally-bench [options]\n"
         "Drives a running tallyd (or tally-refserver with --mode echo) over TCP with\n"
         "one request per connection and reports throughput, latency and errors.\n"
         "  --host H            daemon address (127.0.0.1)\n"
         "  --port P            daemon port (" +
         std::to_string(tally::kDefaultPort) +
         ")\n"
         "  --mode tallyd|echo  check real replies, or accept echoed frames (tallyd)\n"
         "  --concurrency C     connections in flight, 1-10000 (8)\n"
         "  --duration S        measured seconds (10)\n"
         "  --warmup S          seconds of load before measuring (1)\n"
         "  --requests N        stop after N measured replies; 0 no limit (0)\n"
         "  --ids N             distinct UniqueIDs (1000)\n"
         "  --mix L:A:E:P       weights of LOGIN, ALIVE, EXIT, PING (25:40:25:10)\n"
         "  --product ID        ProductID sent (" +
         std::string(tally::kProductId) +
         ")\n"
         "  --app ID            AppID sent (tally-bench)\n"
         "  --id-prefix TEXT    UniqueID prefix (unique to each run)\n"
         "  --timeout MS        per-request time limit (5000)\n"
         "  --body-size B       request body bytes, multiple of 16 up to 1024 (512)\n"
         "  --no-check          skip the CurrentClients consistency check\n"
         "  --quiet             print only the RESULT line\n"
         "Exit status: 0 clean run, 1 errors or failed check, 2 usage error.\n";
}

bool ParseBenchOptions(int argc, char const* const* argv, BenchOptions& options, std::string& error,
                       bool& help) {
  help = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      return true;
    }
    if (arg == "--no-check") {
      options.check = false;
      continue;
    }
    if (arg == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (i + 1 >= argc) {
      error =
          arg.rfind("--", 0) == 0 ? arg + " needs a value" : "unexpected argument '" + arg + "'";
      return false;
    }
    std::string value = argv[++i];
    unsigned long number = 0;
    bool ok = true;
    if (arg == "--host") {
      ok = !value.empty();
      options.host = value;
    } else if (arg == "--port") {
      ok = ParseUnsigned(value, 1, 65535, number);
      options.port = static_cast<std::uint16_t>(number);
    } else if (arg == "--mode") {
      ok = value == "tallyd" || value == "echo";
      options.mode = value == "echo" ? BenchMode::kEcho : BenchMode::kTallyd;
    } else if (arg == "--concurrency") {
      ok = ParseUnsigned(value, 1, 10000, number);
      options.concurrency = static_cast<unsigned>(number);
    } else if (arg == "--duration") {
      ok = ParseSeconds(value, 0.001, 86400, options.durationSeconds);
    } else if (arg == "--warmup") {
      ok = ParseSeconds(value, 0, 3600, options.warmupSeconds);
    } else if (arg == "--requests") {
      ok = ParseUnsigned(value, 0, 1000000000000UL, options.maxRequests);
    } else if (arg == "--ids") {
      ok = ParseUnsigned(value, 1, 10000000, number);
      options.ids = static_cast<unsigned>(number);
    } else if (arg == "--mix") {
      ok = ParseMix(value, options.mix);
    } else if (arg == "--product") {
      options.product = value;
    } else if (arg == "--app") {
      ok = !value.empty();
      options.appId = value;
    } else if (arg == "--id-prefix") {
      ok = !value.empty();
      options.idPrefix = value;
    } else if (arg == "--timeout") {
      ok = ParseUnsigned(value, 1, 3600000, number);
      options.timeout = std::chrono::milliseconds(number);
    } else if (arg == "--body-size") {
      ok = ParseUnsigned(value, 16, 1024, number) && number % 16 == 0;
      options.bodySize = number;
    } else {
      error = "unknown option '" + arg + "'";
      return false;
    }
    if (!ok) {
      error = "invalid value '" + value + "' for " + arg;
      return false;
    }
  }
  return true;
}

}  // namespace tally_bench
