#pragma once

// The optional [tallyd] keys that bound the service. A file without them
// gives exactly the messages of one that predates them: each key is reported
// only when present, and a value out of range is refused with an error line
// and the default kept.

#include <string>

class IniFile;
using BoundsLogFunc = void (*)(int priority, char const* format, ...);

struct ServiceBounds {
  unsigned long maxClients = 1000000;           // "max-clients"
  unsigned int clientTimeoutSeconds = 300;      // "client-timeout"
  unsigned int maxConnectionsPerAddress = 256;  // "max-connections-per-address"
  // An empty "admin-listen" is kept: it turns the admin interface off.
  std::string adminListen = "127.0.0.1:14356";  // "admin-listen"
  std::string adminTokenFile;                   // "admin-token-file"
  // Checked by the service, which refuses a bad list whole with an error line.
  std::string proxyProtocolFrom;                // "proxy-protocol-from"
  std::string stateFile;                        // "state-file"; empty: memory only
  unsigned int historyDays = 400;               // "history-days"
  unsigned int eventsDays = 90;                 // "events-days"
  // Where the register lives; "" (absent) keeps it in memory.
  std::string store;              // "store"
  std::string storeKeyPrefix;     // "store-key-prefix"; "" for the service's default
  std::string storePasswordFile;  // "store-password-file"
  // A "store" that cannot be parsed: the daemon refuses to start rather than
  // serve a register of its own while its peers share another.
  bool storeUnusable = false;
};

// Reads the keys of `ini` into `bounds`, logging through `log`.
void ReadServiceBounds(IniFile const& ini, BoundsLogFunc log, ServiceBounds& bounds);

// A whole decimal number from `low` to `high` (no sign, no other characters),
// or false.
bool ParseBoundedNumber(std::string const& text, unsigned long low, unsigned long high,
                        unsigned long& value);
