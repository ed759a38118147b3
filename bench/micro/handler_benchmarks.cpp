// One request through KReceivePacketHandler::operator() without the network:
// decrypt with verification, split, validate, apply, build the reply, encrypt.

#include <benchmark/benchmark.h>

#include <cstring>
#include <ctime>

#include "bench/micro/bench_fixture.h"
#include "client/request_builder.h"

namespace tally_micro {
namespace {

constexpr std::size_t kTableSize = 10000;  // other clients, for a realistic look-up depth

struct Step {
  std::vector<unsigned char> body;
};

// Runs `steps` in order once per iteration; each must be answered 200.
void RunRequests(benchmark::State& state, std::vector<Step> const& steps) {
  QuietEventLog(true);
  std::time_t now = std::time(nullptr);
  auto handler = MakeHandler(now);
  FillTable(*handler, 0, kTableSize);
  std::string const peer = "192.0.2.7";

  std::vector<unsigned char> buffer(512);
  for (Step const& step : steps) {  // one untimed pass proves the requests are accepted
    buffer = step.body;
    if (!(*handler)(buffer.data(), buffer.size(), peer) || ReplyCode(buffer) != 200) {
      state.SkipWithError("request not answered 200");
      return;
    }
  }
  for (auto _ : state) {
    for (Step const& step : steps) {
      std::memcpy(buffer.data(), step.body.data(), buffer.size());
      benchmark::DoNotOptimize((*handler)(buffer.data(), buffer.size(), peer));
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * steps.size()));
}

void BM_HandlePing(benchmark::State& state) {
  RunRequests(state, {{RequestBody(norla::kNorlaPing, "", "")}});
}

// ALIVE of a registered client: look-up and renewal, no event line.
void BM_HandleAlive(benchmark::State& state) {
  RunRequests(state, {{RequestBody(norla::kNorlaAlive, ShortUniqueId(42), "app")}});
}

// LOGIN of a new client and its EXIT: insertion, removal and two event lines.
void BM_HandleLoginExit(benchmark::State& state) {
  RunRequests(state, {{RequestBody(norla::kNorlaLogin, "fresh-client", "app")},
                      {RequestBody(norla::kNorlaExit, "fresh-client", "app")}});
}

BENCHMARK(BM_HandlePing);
BENCHMARK(BM_HandleAlive);
BENCHMARK(BM_HandleLoginExit);

}  // namespace
}  // namespace tally_micro
