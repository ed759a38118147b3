#pragma once

// Signal handling of the daemon. The handlers only record the signal; the
// main loop reads the record and stops the service, or for SIGHUP reloads the
// access lists.

#include <signal.h>

#include <atomic>

// Written only by signalHandler, read only by the main thread.
extern std::atomic<int> g_stopRequested;  // 1 once a terminating signal arrived
extern std::atomic<int> g_lastSignal;     // number of the last terminating signal
extern std::atomic<int> g_reloadRequested;  // 1 from SIGHUP until the main loop takes it

static_assert(std::atomic<int>::is_always_lock_free,
              "the stop record must be safe to write from a signal handler");

// Handler of SIGTERM, SIGINT, SIGTTOU, SIGTTIN and SIGTSTP.
void signalHandler(int signal);

// Handler of SIGHUP.
void reloadSignalHandler(int signal);

// Handler of SIGCHLD. Deliberately a handler that does nothing rather than the
// ignore disposition, which would make the kernel reap children behind the
// back of pclose.
void childSignalHandler(int signal);

// Blocks the terminating signals and SIGHUP on the calling thread (threads
// created afterwards inherit that). Returns the mask to wait with: the
// previous mask with those signals let in.
sigset_t BlockTerminatingSignals();

// Installs signalHandler for the terminating signals, reloadSignalHandler for
// SIGHUP, then childSignalHandler for SIGCHLD, with signal(). Returns false if any installation failed.
bool InstallSignalHandlers();

// Exit status after a stop by `lastSignal`: 0 for SIGINT in foreground mode,
// otherwise 50 plus the signal number.
int StopExitStatus(int lastSignal, bool standalone);
