// tally-state-growth: how the state file grows, measured on a scratch file
// through the store the daemon uses. Writes N clients in one-second batches
// of a realistic size, then one day of history: a sample a minute with the
// top AppIDs, and a Connect and a Disconnect per client. Prints the file's
// size after each step and the bytes per client and per day.
//
// usage: tally-state-growth [--clients N] [--apps A] [--dir DIR]

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "server/state_store.h"

namespace {

using namespace norla_server;

constexpr std::size_t kBatchClients = 10000;  // about a second of LOGINs at full speed
constexpr std::time_t kStart = 1796515200;    // 2026-12-06T00:00:00Z
constexpr int kMinutesPerDay = 1440;

// The file's size with its WAL folded in.
long long FileBytes(StateStore& store, std::string const& path) {
  store.Checkpoint();
  struct stat info{};
  return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

bool Write(StateStore& store, StateBatch const& batch) {
  std::string error;
  if (store.Write(batch, kStart, error)) return true;
  std::fprintf(stderr, "tally-state-growth: %s\n", error.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t clients = 100000, apps = 100;
  std::string dir = "/tmp";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string const arg = argv[i];
    if (arg == "--clients") clients = std::strtoul(argv[i + 1], nullptr, 10);
    if (arg == "--apps") apps = std::strtoul(argv[i + 1], nullptr, 10);
    if (arg == "--dir") dir = argv[i + 1];
  }
  std::string const path = dir + "/tally-state-growth-" + std::to_string(::getpid()) + ".db";
  auto opened = StateStore::Open(path, kStart);
  if (!opened.store) {
    std::fprintf(stderr, "tally-state-growth: %s: %s\n", path.c_str(), opened.error.c_str());
    return 1;
  }
  StateStore& store = *opened.store;
  long long const empty = FileBytes(store, path);

  StateBatch batch;
  for (std::size_t i = 0; i < clients; ++i) {
    std::string const id = "PC-" + std::to_string(1000000 + i);
    batch.clients[id] = StoredClient{id, "app-" + std::to_string(i % apps), "10.1.2.3", 1,
                                     kStart, kStart, 0};
    if (batch.clients.size() == kBatchClients || i + 1 == clients) {
      if (!Write(store, batch)) return 1;
      batch = StateBatch();
    }
  }
  long long const registered = FileBytes(store, path);

  for (int minute = 0; minute < kMinutesPerDay; ++minute) {
    StoredSample sample{kStart + minute * 60, clients, {}};
    for (std::size_t a = 0; a < apps; ++a) {
      sample.byApp.emplace_back("app-" + std::to_string(a), clients / apps);
    }
    batch.samples.push_back(std::move(sample));
    if (!Write(store, batch)) return 1;
    batch = StateBatch();
  }
  long long const sampled = FileBytes(store, path);

  // A Connect and a Disconnect per client over the day, in one batch a minute.
  for (int minute = 0; minute < kMinutesPerDay; ++minute) {
    for (std::size_t i = static_cast<std::size_t>(minute); i < clients; i += kMinutesPerDay) {
      std::string const id = "PC-" + std::to_string(1000000 + i);
      for (char const* event : {"Connect", "Disconnect"}) {
        batch.events.push_back({0, kStart + minute * 60, event, id,
                                "app-" + std::to_string(i % apps), "10.1.2.3"});
      }
    }
    if (!Write(store, batch)) return 1;
    batch = StateBatch();
  }
  long long const day = FileBytes(store, path);
  opened.store.reset();
  std::remove(path.c_str());

  std::printf("clients %zu, AppIDs %zu\n", clients, apps);
  std::printf("empty file               %12lld bytes\n", empty);
  std::printf("with the register        %12lld bytes (%.0f bytes per client)\n", registered,
              static_cast<double>(registered - empty) / static_cast<double>(clients));
  std::printf("a day of samples         %12lld bytes (%.2f MB: %d samples of %zu AppIDs)\n",
              sampled, static_cast<double>(sampled - registered) / 1e6, kMinutesPerDay, apps);
  std::printf("a day of events          %12lld bytes (%.2f MB: %zu events, %.0f bytes each)\n",
              day, static_cast<double>(day - sampled) / 1e6, 2 * clients,
              static_cast<double>(day - sampled) / static_cast<double>(2 * clients));
  return 0;
}
