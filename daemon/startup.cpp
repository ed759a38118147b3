#include "daemon/startup.h"

#include <poll.h>
#include <signal.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "daemon/command_line.h"
#include "daemon/config_load.h"
#include "daemon/daemon_event_handler.h"
#include "daemon/data_dir.h"
#include "daemon/notify_mail.h"
#include "daemon/process_log.h"
#include "daemon/signals.h"
#include "protocol/protocol_constants.h"
#include "server/norla_server.h"

bool g_standalone = false;

namespace {

constexpr char kDisplayName[] = "tallyd";
constexpr char const* kProducts = tally::kProductId;
constexpr unsigned int kClientTimeoutMinutes = 5;
constexpr int kUpdateIntervalSeconds = 5;
// Queued log lines are written before every exit and before detaching, but a
// stalled system logger may hold them for no longer than this: a stop is
// carried out within 2 seconds whatever the sink does.
constexpr unsigned int kLogFlushMilliseconds = 1500;

void EnterStandalone() {
  g_standalone = true;
  g_logToConsole = true;
}

// Waits one turn of the main loop. The terminating signals are kept blocked
// outside this wait and let in only inside it, so a stop request either was
// seen by the caller's check or ends this wait at once.
void WaitOneTurn(sigset_t const& waitMask) {
  timespec const turn{kUpdateIntervalSeconds, 0};
  ::ppoll(nullptr, 0, &turn, &waitMask);
}

int ServeUntilStopped(norla_server::tag_norlasvr_context* server, sigset_t const& waitMask) {
  for (;;) {
    if (g_stopRequested.load() != 0) {
      int const signal = g_lastSignal.load();
      mysyslog(LOG_INFO, "Received signal : %d", signal);
      mysyslog(LOG_INFO, "%s service stopping", kDisplayName);
      NorlaServerQuit(server);
      NorlaServerDestroy(server);
      return StopExitStatus(signal, g_standalone);
    }
    WaitOneTurn(waitMask);
    if (g_reloadRequested.exchange(0) != 0) NorlaServerReloadAccessLists(server);
    NorlaServerUpdateClients(server);
  }
}

int RunSteps(int argc, char** argv) {
  NorlaInitializeLog(mysyslog);

  CommandLine const line = ScanCommandLine(argc, argv);
  if (line.standaloneFirst) EnterStandalone();

  if (line.dataDirRefused) {
    errprintf("--datadir : can't use '.' or '/'.\n");
    return 1;
  }
  g_data_dir_specified = line.dataDir;
  SettleDataDir();
  ServiceBounds bounds;
  LoadConfiguration(ConfigFilePath(g_data_dir), mysyslog, bounds);

  if (line.testMail) return RunTestMail();
  if (bounds.storeUnusable) {
    mysyslog(LOG_ERR, "%s not started: the [store] setting is unusable", kDisplayName);
    errprintf("Error : the [store] setting is unusable; see the log.\n");
    return 8;
  }

  // The lines so far are written before echoing starts and before detaching:
  // a fork copies only the calling thread, so the stream's writer must have
  // ended, and the launcher's lines must carry the launcher's PID.
  NorlaLogFlush(kLogFlushMilliseconds);
  if (line.standaloneAnywhere) EnterStandalone();
  if (!g_standalone && ::daemon(0, 0) != 0) {
    errprintf("Error : could not create daemon process.");
    return 5;
  }

  unsigned int const port = line.port;
  CNorlaEventHandler handler;

  InstallSignalHandlers();
  // Held blocked from here on except while the main loop waits (and
  // inherited blocked by the service's thread), so every stop request lands
  // on the main thread and is seen without delay.
  sigset_t const waitMask = BlockTerminatingSignals();

  mysyslog(LOG_INFO, "%s service starting on port %u", kDisplayName, port);
  unsigned int result = 0;
  NorlaServerOptions options;
  NorlaServerDefaultOptions(&options);
  options.clientTimeoutSeconds = bounds.clientTimeoutSeconds;
  options.maxClients = bounds.maxClients;
  options.maxConnectionsPerAddress = bounds.maxConnectionsPerAddress;
  options.adminListen = bounds.adminListen.c_str();
  options.adminTokenFile = bounds.adminTokenFile.c_str();
  options.proxyProtocolFrom = bounds.proxyProtocolFrom.c_str();
  options.stateFile = bounds.stateFile.c_str();
  options.historyDays = bounds.historyDays;
  options.eventsDays = bounds.eventsDays;
  options.store = bounds.store.c_str();
  options.storeKeyPrefix = bounds.storeKeyPrefix.c_str();
  options.storePasswordFile = bounds.storePasswordFile.c_str();
  norla_server::tag_norlasvr_context* server = NorlaServerCreateWithOptions(
      result, kProducts, port, kClientTimeoutMinutes, "", &handler, &options);
  if (server == nullptr) {
    mysyslog(LOG_ERR, "%s service initialization failed, code %u", kDisplayName, result);
    return 8;
  }
  mysyslog(LOG_ERR, "%s service initialized", kDisplayName);

  return ServeUntilStopped(server, waitMask);
}

}  // namespace

int RunDaemon(int argc, char** argv) {
  ::openlog(g_syslogIdent, LOG_PID, LOG_DAEMON);
  int const status = RunSteps(argc, argv);
  NorlaLogFlush(kLogFlushMilliseconds);
  return status;
}
