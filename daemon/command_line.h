#pragma once

// The command line of tallyd as a plain record. Scanning is a pure function
// of argv; acting on the result (and on the order of the steps) is left to
// the start-up sequence.

#include <cstdint>
#include <string>

#include "protocol/protocol_constants.h"

constexpr std::uint32_t kDefaultPort = tally::kDefaultPort;

struct CommandLine {
  bool standaloneFirst = false;     // --standalone is the first argument
  bool standaloneAnywhere = false;  // --standalone at any position
  bool testMail = false;            // --test-mail is the first argument
  // The first --datadir value holding '.' or '/'; start-up refuses it. Values
  // after it are not looked at.
  bool dataDirRefused = false;
  std::string dataDir;  // value of the last --datadir; empty keeps the default
  std::uint32_t port = kDefaultPort;
};

// Positions count from 1. --datadir and --port are recognised at positions 1
// to argc-2 (they need a value); the last --datadir counts, the first --port
// counts. A --port value is read like strtol in base 10 and truncated to 32
// bits; 0 (including a value without leading digits) selects kDefaultPort.
CommandLine ScanCommandLine(int argc, char const* const* argv);

// The port text rule on its own.
std::uint32_t ParsePort(char const* text);
