#include "server/service_state.h"

#include <algorithm>

#include "server/event_log.h"
#include "server/service_transport_events.h"

namespace norla_server {

namespace {

char const kTimeoutEvent[] = "Disconnect(Timeout)";

}  // namespace

void KServiceState::Start(Settings const& settings, KReceivePacketHandler& handler) {
  if (settings.path.empty()) return;
  std::string const file = "State file " + settings.path;
  if (settings.path.front() != '/') {
    KServiceTransportEvents::LogError(file + " is not an absolute path; running without it");
    return;
  }
  StateStore::Opened opened = StateStore::Open(settings.path, std::time(nullptr));
  if (!opened.movedAside.empty()) {
    KServiceTransportEvents::LogError(file + " could not be read (" + opened.whyMoved +
                                      "); moved aside to " + opened.movedAside +
                                      ", starting empty");
  }
  if (!opened.store) {
    KServiceTransportEvents::LogError(file + ": " + opened.error + "; running without it");
    return;
  }
  StateWriter::Options options;
  options.historyDays = settings.historyDays;
  options.eventsDays = settings.eventsDays;
  StateStore& store = *opened.store;
  Restore(store, handler);
  writer_ = std::make_unique<StateWriter>(std::move(opened.store), options);
  path_ = settings.path;
  handler.SetStateWriter(writer_.get());
}

std::vector<ClientEntry> LiveEntries(std::vector<StoredClient> rows, std::time_t now,
                                     std::int64_t timeoutSeconds, StateBatch& expired) {
  std::vector<ClientEntry> entries;
  for (StoredClient& row : rows) {
    std::int64_t const idle = std::max<std::int64_t>(0, row.savedAt - row.lastSeen) +
                              std::max<std::int64_t>(0, now - row.savedAt);
    if (idle > timeoutSeconds) {
      expired.clients[row.uniqueId] = std::nullopt;
      expired.events.push_back(StoredEvent{0, now, kTimeoutEvent, row.uniqueId, row.appId,
                                           row.address});
      continue;
    }
    TClient client{std::move(row.appId), row.lastSeen,          row.firstSeen, 0,
                   std::max(row.logins, 1u), std::move(row.address)};
    entries.push_back(ClientEntry{std::move(row.uniqueId), std::move(client), idle});
  }
  return entries;
}

void KServiceState::Restore(StateStore& store, KReceivePacketHandler& handler) {
  std::vector<StoredClient> rows;
  std::string error;
  if (!store.LoadClients(rows, error)) {
    KServiceTransportEvents::LogError("State file " + store.Path() +
                                      ": cannot read the register (" + error + "); starting empty");
    return;
  }
  std::time_t const now = std::time(nullptr);
  StateBatch expired;
  std::vector<ClientEntry> entries = LiveEntries(
      std::move(rows), now, static_cast<std::int64_t>(handler.TimeoutSeconds()), expired);
  if (!expired.Empty() && !store.Write(expired, now, error)) {
    KServiceTransportEvents::LogError("State file " + store.Path() + ": cannot write (" + error +
                                      ")");
  }
  std::size_t const restored = entries.size();
  handler.Restore(std::move(entries));
  OutputLog("", ("Restored " + std::to_string(restored) + " clients from " + store.Path()).c_str(),
            -1, nullptr, false);
}

void KServiceState::Stop(KReceivePacketHandler& handler) {
  if (!writer_) return;
  writer_->Stop();
  handler.SetStateWriter(nullptr);
  writer_.reset();
}

}  // namespace norla_server
