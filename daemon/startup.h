#pragma once

// The life of one tallyd process: start-up in its fixed order, the main loop
// that drives the session service, and the orderly stop. Returns the exit
// status:
//   0        --test-mail ran to its end, or SIGINT in foreground mode
//   1        a --datadir value holding '.' or '/'
//   5        detaching failed
//   8        the session service could not be created
//   21-23    --test-mail refused (mail disabled, no To:, no From:)
//   50 + n   stopped by signal n
int RunDaemon(int argc, char** argv);

// Whether tallyd stays in the foreground (--standalone).
extern bool g_standalone;
