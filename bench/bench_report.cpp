#include "bench/bench_report.h"


namespace tally_bench {
namespace {

long long Micros(std::chrono::nanoseconds value) {
  return std::chrono::duration_cast<std::chrono::microseconds>(value).count();
}

char const* ModeName(BenchMode mode) { return mode == BenchMode::kEcho ? "echo" : "tallyd"; }

char const* ConsistencyWord(TConsistency const& consistency) {
  if (!consistency.checked) return "skipped";
  return consistency.Ok() ? "yes" : "no";
}

}  // namespace

bool TConsistency::Ok() const {
  if (!reachable || unresolved > 0 || end != baseline) return false;
  return !afterLoadKnown || afterLoad == expectedAfterLoad;
}

std::string ResultLine(BenchOptions const& options, TRunStats& stats,
                       TConsistency const& consistency) {
  char line[512];
  std::snprintf(line, sizeof line,
                "RESULT mode=%s concurrency=%u seconds=%.2f replies=%lu rps=%.1f p50_us=%lld "
                "p90_us=%lld p99_us=%lld max_us=%lld errors=%lu consistent=%s sent=%lu",
                ModeName(options.mode), options.concurrency, stats.seconds, stats.replies,
                stats.RequestsPerSecond(), Micros(stats.latency.Percentile(50)),
                Micros(stats.latency.Percentile(90)), Micros(stats.latency.Percentile(99)),
                Micros(stats.latency.Max()), stats.ErrorCount(), ConsistencyWord(consistency),
                stats.started + stats.checkRequests);
  return line;
}

void PrintReport(std::FILE* out, BenchOptions const& options, TRunStats& stats,
                 TConsistency const& consistency) {
  if (!options.quiet) {
    std::fprintf(out, "target           %s port %u, mode %s\n", options.host.c_str(),
                 static_cast<unsigned>(options.port), ModeName(options.mode));
    std::fprintf(out, "load             concurrency %u, %u ids, mix %u:%u:%u:%u, %.2f s measured\n",
                 options.concurrency, options.ids, options.mix.login, options.mix.alive,
                 options.mix.exit, options.mix.ping, stats.seconds);
    std::fprintf(out, "requests         %lu replies, %.1f/s\n", stats.replies,
                 stats.RequestsPerSecond());
    std::fprintf(out, "latency (us)     p50 %lld  p90 %lld  p99 %lld  max %lld\n",
                 Micros(stats.latency.Percentile(50)), Micros(stats.latency.Percentile(90)),
                 Micros(stats.latency.Percentile(99)), Micros(stats.latency.Max()));
    std::fprintf(out, "replies by code ");
    if (stats.codes.empty()) std::fprintf(out, " none");
    for (auto const& [code, count] : stats.codes) {
      if (code == kEchoCode) std::fprintf(out, " echo: %lu", count);
      else std::fprintf(out, " %d: %lu", code, count);
    }
    std::fprintf(out, "\nerrors          ");
    if (stats.errors.empty()) std::fprintf(out, " none");
    for (auto const& [kind, count] : stats.errors) {
      auto detail = stats.firstError.find(kind);
      std::fprintf(out, " %s: %lu%s%s%s", kind.c_str(), count,
                   detail == stats.firstError.end() ? "" : " (",
                   detail == stats.firstError.end() ? "" : detail->second.c_str(),
                   detail == stats.firstError.end() ? "" : ")");
    }
    std::fprintf(out, "\n");
    if (consistency.checked) {
      std::fprintf(out, "current clients  before %lu", consistency.baseline);
      if (consistency.afterLoadKnown) {
        std::fprintf(out, ", after load %lu (expected %lu)", consistency.afterLoad,
                     consistency.expectedAfterLoad);
      }
      std::fprintf(out, ", after %lu EXITs %lu", consistency.drainRequests, consistency.end);
      if (!consistency.reachable) std::fprintf(out, ", daemon stopped answering");
      if (consistency.unresolved) std::fprintf(out, ", %zu ids unsettled", consistency.unresolved);
      if (consistency.drainErrors) std::fprintf(out, ", %lu drain errors", consistency.drainErrors);
      std::fprintf(out, ": %s\n", consistency.Ok() ? "consistent" : "INCONSISTENT");
    }
  }
  std::fprintf(out, "%s\n", ResultLine(options, stats, consistency).c_str());
}

}  // namespace tally_bench
