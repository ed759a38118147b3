#pragma once

// Where the configuration file lies: "/etc/opt/<data directory>/<file name>".
// The default directory name and the file name are kept out of the binary as
// plain text and only built when needed.

#include <string>

// The --datadir value (empty when not given) and the name in effect.
extern std::string g_data_dir_specified;
extern std::string g_data_dir;

constexpr char kConfigRoot[] = "/etc/opt";

std::string DefaultDataDirName();
std::string ConfigFileName();

// Settles g_data_dir from g_data_dir_specified (empty keeps the default).
void SettleDataDir();

// kConfigRoot, `dataDir` and the file name joined by single '/'.
std::string ConfigFilePath(std::string const& dataDir);
