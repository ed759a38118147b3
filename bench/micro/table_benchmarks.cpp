// The client table: the idle sweep at 10^4 to 10^6 clients, and the heap each
// registered client costs.

#include <benchmark/benchmark.h>

#include <ctime>

#include "bench/micro/bench_fixture.h"

namespace tally_micro {
namespace {

constexpr std::time_t kStart = 1790000000;
constexpr std::time_t kIdleLimit = 5 * 60;

// The sweep the daemon runs every 5 seconds, when no client has timed out:
// one walk of the table under the client-table lock.
void BM_SweepNoneIdle(benchmark::State& state) {
  QuietEventLog(false);
  std::time_t now = kStart;
  auto handler = MakeHandler(now);
  auto const size = static_cast<std::size_t>(state.range(0));
  FillTable(*handler, 0, size);
  now += kIdleLimit;  // the oldest entry is exactly at the limit, which keeps it
  for (auto _ : state) handler->UpdateClients();
  if (handler->ClientCount() != size) state.SkipWithError("the sweep dropped live clients");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// Every client silent at once (a network outage): each is removed and gets a
// "Disconnect(Timeout)" line, all under the client-table lock.
void BM_SweepAllIdle(benchmark::State& state) {
  QuietEventLog(true);
  std::time_t now = kStart;
  auto handler = MakeHandler(now);
  auto const size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    now = kStart;
    FillTable(*handler, 0, size);
    now = kStart + kIdleLimit + 1;
    state.ResumeTiming();
    handler->UpdateClients();
  }
  if (handler->ClientCount() != 0) state.SkipWithError("idle clients survived the sweep");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// Heap per registered client. The UniqueID, AppID and peer texts are short
// enough to live inside their std::string objects, so the figure is the
// table's own cost per client, beyond any string storage.
void BM_HeapPerClient(benchmark::State& state) {
  QuietEventLog(false);
  auto const size = static_cast<std::size_t>(state.range(0));
  double perClient = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::time_t now = kStart;
    auto handler = MakeHandler(now);
    std::size_t before = HeapInUse();
    state.ResumeTiming();
    FillTable(*handler, 0, size);
    state.PauseTiming();
    perClient = static_cast<double>(HeapInUse() - before) / static_cast<double>(size);
    if (handler->ClientCount() != size) state.SkipWithError("LOGINs were not all registered");
    handler.reset();
    state.ResumeTiming();
  }
  // A sanitizer's allocator keeps malloc's statistics at zero.
  if (perClient <= 0) state.SkipWithError("malloc statistics unavailable in this build");
  state.counters["heap_bytes_per_client"] = perClient;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

BENCHMARK(BM_SweepNoneIdle)->RangeMultiplier(10)->Range(10000, 1000000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SweepAllIdle)->RangeMultiplier(10)->Range(10000, 1000000)->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeapPerClient)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tally_micro

BENCHMARK_MAIN();
