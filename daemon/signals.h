#pragma once

// Signal handling of the daemon. The handlers only record the signal; the
// main loop reads the record, logs it and stops the service.

#include <signal.h>

#include <atomic>

// Written only by signalHandler, read only by the main thread.
extern std::atomic<int> g_stopRequested;  // 1 once a terminating signal arrived
extern std::atomic<int> g_lastSignal;     // number of the last terminating signal

static_assert(std::atomic<int>::is_always_lock_free,
              "the stop record must be safe to write from a signal handler");

// Handler of SIGTERM, SIGINT, SIGTTOU, SIGTTIN and SIGTSTP.
void signalHandler(int signal);

// Handler of SIGCHLD. Deliberately a handler that does nothing rather than the
// ignore disposition, which would make the kernel reap children behind the
// back of pclose.
void childSignalHandler(int signal);

// Blocks the terminating signals on the calling thread (threads created
// afterwards inherit that). Returns the mask to wait with: the previous mask
// with the terminating signals let in.
sigset_t BlockTerminatingSignals();

// Installs signalHandler for the terminating signals, then childSignalHandler
// for SIGCHLD, with signal(). Returns false if any installation failed.
bool InstallSignalHandlers();

// Exit status after a stop by `lastSignal`: 0 for SIGINT in foreground mode,
// otherwise 50 plus the signal number.
int StopExitStatus(int lastSignal, bool standalone);
