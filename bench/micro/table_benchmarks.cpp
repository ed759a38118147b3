// The client table: the idle sweep at 10^4 to 10^6 clients, requests served
// during a sweep or a full listing of 10^6, and the heap each client costs.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "bench/micro/bench_fixture.h"
#include "client/request_builder.h"

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

// Resident memory in MiB, from /proc/self/statm.
double ResidentMiB() {
  long pages = 0, resident = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// 10^6 clients expire in one sweep while another thread keeps sending ALIVE:
// the longest a request took (its wait for the table lock included), and
// resident memory before the flood of LOGINs, at its peak and after the sweep.
void BM_SweepFloodWithRequests(benchmark::State& state) {
  QuietEventLog(true);
  auto const size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    double const before = ResidentMiB();
    std::time_t now = std::time(nullptr);  // requests carry today's date
    auto handler = MakeHandler(now);
    std::vector<unsigned char> const alive = RequestBody(norla::kNorlaAlive, "live", "app");
    std::atomic<bool> filled{false}, sweeping{true};
    std::atomic<long> served{0};
    std::chrono::nanoseconds longest{0};
    // As in the daemon, the entries are allocated by the thread serving
    // requests (its malloc arena) and freed by the sweeping one.
    std::thread requests([&] {
      FillTable(*handler, 0, size);
      filled = true;
      while (filled) std::this_thread::yield();
      std::vector<unsigned char> buffer(alive.size());
      while (sweeping) {
        std::copy(alive.begin(), alive.end(), buffer.begin());
        auto const start = std::chrono::steady_clock::now();
        (*handler)(buffer.data(), buffer.size(), "peer-2");
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
        ++served;
      }
    });
    while (!filled) std::this_thread::yield();
    double const peak = ResidentMiB();
    now += kIdleLimit + 1;  // fixed from here on: the request thread reads it
    filled = false;
    while (served < 100) std::this_thread::yield();  // serving before the sweep starts
    state.ResumeTiming();
    handler->UpdateClients();
    state.PauseTiming();
    sweeping = false;
    requests.join();
    if (handler->ClientCount() != 1) state.SkipWithError("the sweep kept idle clients");
    using Milliseconds = std::chrono::duration<double, std::milli>;
    state.counters["max_request_wait_ms"] = Milliseconds(longest).count();
    state.counters["requests_served"] = static_cast<double>(served);
    state.counters["rss_before_MiB"] = before;
    state.counters["rss_peak_MiB"] = peak;
    state.counters["rss_after_MiB"] = ResidentMiB();
    handler.reset();
    state.ResumeTiming();
  }
}

// An operator lists all of 10^6 clients, page by page as the admin interface
// does, while another thread keeps sending ALIVE: the longest a request took.
void BM_ListingWithRequests(benchmark::State& state) {
  QuietEventLog(false);
  auto const size = static_cast<std::size_t>(state.range(0));
  std::time_t now = std::time(nullptr);
  auto handler = MakeHandler(now);
  FillTable(*handler, 0, size);
  std::vector<unsigned char> const alive = RequestBody(norla::kNorlaAlive, "live", "app");
  std::atomic<bool> listing{true};
  std::atomic<long> served{0};
  std::chrono::nanoseconds longest{0};
  std::thread requests([&] {
    std::vector<unsigned char> buffer(alive.size());
    while (listing) {
      std::copy(alive.begin(), alive.end(), buffer.begin());
      auto const start = std::chrono::steady_clock::now();
      (*handler)(buffer.data(), buffer.size(), "peer-2");
      longest = std::max(longest, std::chrono::steady_clock::now() - start);
      ++served;
    }
  });
  while (served < 100) std::this_thread::yield();
  std::size_t listed = 0;
  for (auto _ : state) {
    norla_server::PageQuery page;
    page.limit = 10000;
    listed = 0;
    for (;;) {
      auto const entries = handler->Table().Page(page);
      listed += entries.size();
      if (entries.size() < page.limit) break;
      page.after = entries.back().uniqueId;
    }
  }
  listing = false;
  requests.join();
  if (listed != size + 1) state.SkipWithError("the listing missed clients");
  state.counters["max_request_wait_ms"] =
      std::chrono::duration<double, std::milli>(longest).count();
  state.counters["requests_served"] = static_cast<double>(served);
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
BENCHMARK(BM_SweepFloodWithRequests)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListingWithRequests)->Arg(1000000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeapPerClient)->Arg(100000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tally_micro

BENCHMARK_MAIN();
