#include "daemon/service_bounds.h"

#include <syslog.h>

#include "base/store_url.h"
#include "daemon/ini_file.h"

namespace {

struct BoundKey {
  char const* name;
  unsigned long low;
  unsigned long high;
};

constexpr BoundKey kMaxClients{"max-clients", 1, 100000000};
constexpr BoundKey kClientTimeout{"client-timeout", 10, 86400};
constexpr BoundKey kMaxPerAddress{"max-connections-per-address", 1, 1000000};
constexpr BoundKey kHistoryDays{"history-days", 1, 36500};
constexpr BoundKey kEventsDays{"events-days", 1, 36500};

template <typename T>
void ReadBound(IniFile const& ini, BoundsLogFunc log, BoundKey const& key, T& setting) {
  auto const text = ini.get<std::string>(std::string("tallyd.") + key.name);
  if (!text || text->empty()) return;
  log(LOG_INFO, "Config: [%s] = %s", key.name, text->c_str());
  unsigned long value = 0;
  if (!ParseBoundedNumber(*text, key.low, key.high, value)) {
    log(LOG_ERR, "Config: [%s] must be a whole number from %lu to %lu; using %lu", key.name,
        key.low, key.high, static_cast<unsigned long>(setting));
    return;
  }
  setting = static_cast<T>(value);
}

// `keepEmpty`: an empty value is reported and applied (an empty admin-listen
// turns the interface off); otherwise it counts as absent, like a number's.
void ReadText(IniFile const& ini, BoundsLogFunc log, char const* name, std::string& setting,
              bool keepEmpty = true) {
  auto const text = ini.get<std::string>(std::string("tallyd.") + name);
  if (!text || (text->empty() && !keepEmpty)) return;
  log(LOG_INFO, "Config: [%s] = %s", name, text->c_str());
  setting = *text;
}

}  // namespace

bool ParseBoundedNumber(std::string const& text, unsigned long low, unsigned long high,
                        unsigned long& value) {
  if (text.empty() || text.size() > 12) return false;
  unsigned long parsed = 0;
  for (char const c : text) {
    if (c < '0' || c > '9') return false;
    parsed = parsed * 10 + static_cast<unsigned long>(c - '0');
  }
  if (parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

void ReadServiceBounds(IniFile const& ini, BoundsLogFunc log, ServiceBounds& bounds) {
  ReadBound(ini, log, kMaxClients, bounds.maxClients);
  ReadBound(ini, log, kClientTimeout, bounds.clientTimeoutSeconds);
  ReadBound(ini, log, kMaxPerAddress, bounds.maxConnectionsPerAddress);
  ReadText(ini, log, "admin-listen", bounds.adminListen);
  ReadText(ini, log, "admin-token-file", bounds.adminTokenFile);
  ReadText(ini, log, "proxy-protocol-from", bounds.proxyProtocolFrom);
  ReadText(ini, log, "state-file", bounds.stateFile, false);
  ReadBound(ini, log, kHistoryDays, bounds.historyDays);
  ReadBound(ini, log, kEventsDays, bounds.eventsDays);
  ReadText(ini, log, "store", bounds.store);
  ReadText(ini, log, "store-key-prefix", bounds.storeKeyPrefix);
  ReadText(ini, log, "store-password-file", bounds.storePasswordFile);
  tally::StoreUrl url;
  std::string why;
  if (!tally::ParseStoreUrl(bounds.store, url, why)) {
    log(LOG_ERR, "Config: [store] unusable: %s", why.c_str());
    bounds.storeUnusable = true;
  }
}
