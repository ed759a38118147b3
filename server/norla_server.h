#pragma once

// The session service's flat interface: the only symbols libtallyservice
// exports. No exception crosses these functions. Every function taking an
// instance accepts null and then does nothing (returning false where it
// returns a value).
//
// Calling order: NorlaInitializeLog, NorlaServerCreate, then
// NorlaServerUpdateClients repeatedly (NorlaLog and NorlaLogPost at any
// time), then NorlaServerQuit, NorlaServerDestroy and NorlaLogFlush.

#include "server/event_handler.h"

#define NORLA_EXPORT __attribute__((visibility("default")))

namespace norla_server {
struct tag_norlasvr_context;
}  // namespace norla_server

// Result codes of NorlaServerCreate.
enum NorlaCreateResult : unsigned int {
  kNorlaOk = 0,
  kNorlaException = 1,             // an exception escaped a creation step
  kNorlaNoThreadObject = 5001,     // the server-thread object could not be allocated
  kNorlaNoMemory = 5011,           // the instance record (or thread impl) could not be allocated
  kNorlaSocketOpenFailed = 5012,   // the listening socket could not be opened
  kNorlaBadExtParams = 5013,       // the extension parameters were rejected
  kNorlaThreadStartFailed = 5014,  // the server thread could not be started
  kNorlaBadStore = 5015,           // the store setting or its password file is unusable
};

// Bounds of an instance beyond the creation parameters. Fill it with
// NorlaServerDefaultOptions first: fields are only ever added at the end, and
// `size` tells the service how many of them the host knows.
struct NorlaServerOptions {
  unsigned int size;                      // sizeof(NorlaServerOptions) as the host built it
  unsigned int clientTimeoutSeconds;      // idle time before a client is dropped; 0: the minutes
  unsigned long maxClients;               // entries in the register; 0: no limit
  unsigned int maxConnectionsPerAddress;  // open connections per peer address; 0: no limit
  // The admin interface's "ADDRESS:PORT" ("[IPV6]:PORT"); null or "": none.
  // Read during creation only, like the next field.
  char const* adminListen;
  char const* adminTokenFile;  // the bearer token's file; null or "": no token
  // Load balancers whose connections begin with a PROXY header (version 2),
  // addresses separated by commas; null or "": none. Their clients are served
  // by the addresses the headers carry. A bad list is refused whole with an
  // error line, and no connection is read as proxied. Read during creation.
  char const* proxyProtocolFrom;
  // The state file's absolute path; null or "": the register lives in memory
  // only. Read during creation only.
  char const* stateFile;
  unsigned int historyDays;  // per-minute samples kept in the state file
  unsigned int eventsDays;   // events kept in the state file
  // Where the register lives (null, "" or "memory": in this process), its key
  // prefix (null or "": "tallyd:") and the Redis password's file (null or
  // "": none). Read during creation only.
  char const* store;
  char const* storeKeyPrefix;
  char const* storePasswordFile;
};

// The defaults: timeout from the creation call, 1,000,000 clients, 256
// connections per address, no admin interface, no load balancer, no state
// file (400 days of samples and 90 of events when one is set).
NORLA_EXPORT void NorlaServerDefaultOptions(NorlaServerOptions* options);

// Installs the log sink (called like syslog). Null selects syslog itself.
// Call once, before any other service function.
NORLA_EXPORT void NorlaInitializeLog(void (*sink)(int priority, char const* format, ...));

// Creates an instance listening on `port` (low 16 bits) on all addresses.
// `products`: accepted ProductIDs separated by '/'. `extParams`: "Key: Value"
// lines added to every reply (null or empty for none). `handler` is not owned
// and may be null. Returns null on failure with `result` set to a code above.
NORLA_EXPORT norla_server::tag_norlasvr_context* NorlaServerCreate(
    unsigned int& result, char const* products, unsigned int port, unsigned int timeoutMinutes,
    char const* extParams, INorlaEventHandler* handler);

// NorlaServerCreate with bounds; null `options` means the defaults.
NORLA_EXPORT norla_server::tag_norlasvr_context* NorlaServerCreateWithOptions(
    unsigned int& result, char const* products, unsigned int port, unsigned int timeoutMinutes,
    char const* extParams, INorlaEventHandler* handler, NorlaServerOptions const* options);

// Replaces the extension parameters when all of `text` is acceptable.
NORLA_EXPORT bool NorlaServerSetExtParams(norla_server::tag_norlasvr_context* instance,
                                          char const* text);

// With a Redis store, requests are answered when the store has made the
// change; until it is reachable, changes are closed without a reply. A store
// setting that cannot be used fails the creation with kNorlaBadStore and one
// error line: an instance never falls back to a register of its own.

// The admin interface starts with the instance when its address is set; when
// it cannot (not loopback without a token, a failed bind) one error line says
// why and the instance runs without it.

// Reads "./denyip.txt" and "./allowip.txt" again and replaces the instance's
// access lists whole for the connections accepted from then on; logs
// "Access lists reloaded: D deny patterns, A allow patterns". When a file
// exists but cannot be read, the lists in force stay, one error line says
// why, and the result is false. A missing file is an empty list.
NORLA_EXPORT bool NorlaServerReloadAccessLists(norla_server::tag_norlasvr_context* instance);

// Drops clients idle for longer than the time-out, on the calling thread.
NORLA_EXPORT void NorlaServerUpdateClients(norla_server::tag_norlasvr_context* instance);

// Stops the admin interface, then the server thread, waiting up to 5 seconds
// for the latter. The state file's last batch is written on destruction,
// before "ServiceEnd".
NORLA_EXPORT void NorlaServerQuit(norla_server::tag_norlasvr_context* instance);

// Releases the instance. Never frees anything under a server thread that is
// still running: it waits for that thread first.
NORLA_EXPORT void NorlaServerDestroy(norla_server::tag_norlasvr_context* instance);

// Always 1; lets a host confirm the service is present.
NORLA_EXPORT int NorlaServerCheckDll();

// Writes the host's text as one event line. False for null text.
NORLA_EXPORT bool NorlaLog(char const* text);

// Queues a line the host has formatted in the process's ordered log stream,
// to be written through the sink at `priority` with the format "%s". Never
// waits for the sink. False for null text, on the stream's writer thread (that
// is, from within the sink) and when no stream can run: the host then writes
// the line itself.
NORLA_EXPORT bool NorlaLogPost(int priority, char const* line);

// Hands every line queued so far to the sink, with cached host names only,
// and ends the stream's writer thread, waiting at most `milliseconds`. True
// when everything was written. Call before exiting, and before a fork that
// must not inherit a half-held lock. A later post starts the stream again.
NORLA_EXPORT bool NorlaLogFlush(unsigned int milliseconds);
