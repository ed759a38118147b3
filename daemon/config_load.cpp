#include "daemon/config_load.h"

#include <syslog.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "daemon/ini_file.h"
#include "daemon/notify_mail.h"
#include "daemon/process_log.h"
#include "server/norla_server.h"

namespace {

constexpr unsigned int kIdentFlushMilliseconds = 1500;

// A value that is absent or empty counts as absent.
boost::optional<std::string> Setting(IniFile const& ini, char const* key) {
  auto value = ini.get<std::string>(key);
  if (value && value->empty()) return boost::none;
  return value;
}

// The identity and the mail keys; the mail ones end early once mail is off.
void LoadDesignedKeys(IniFile const& ini, ConfigLogFunc log) {
  if (auto const ident = Setting(ini, "tallyd.syslog-ident")) {
    // Copied before the message so that the message already carries it,
    // once the lines before it are written under the old one.
    if (ident->size() <= kSyslogIdentMax) {
      NorlaLogFlush(kIdentFlushMilliseconds);
      std::memcpy(g_syslogIdent, ident->c_str(), ident->size() + 1);
    }
    log(LOG_INFO, "Config: [syslog-ident] = %s", ident->c_str());
  } else {
    log(LOG_INFO, "Config: [syslog-ident] not found.");
  }

  if (auto const enabled = Setting(ini, "tallyd.sendmail-enabled")) {
    log(LOG_INFO, "Config: [sendmail-enabled] = %s", enabled->c_str());
    g_sendmailEnabled = ParseInt32(enabled->c_str()) != 0;
  } else {
    log(LOG_INFO, "Config: [sendmail-enabled] not found.");
  }
  if (!g_sendmailEnabled) return;

  // Both addresses are read and reported even when the first one is missing.
  if (auto const to = Setting(ini, "tallyd.sendmail-to")) {
    log(LOG_INFO, "Config: [sendmail-to] = %s", to->c_str());
    g_sendmailTo = *to;
  } else {
    log(LOG_INFO, "Config: [sendmail-to] not found.");
    g_sendmailEnabled = false;
  }
  if (auto const from = Setting(ini, "tallyd.sendmail-from")) {
    log(LOG_INFO, "Config: [sendmail-from] = %s", from->c_str());
    g_sendmailFrom = *from;
  } else {
    log(LOG_INFO, "Config: [sendmail-from] not found.");
    g_sendmailEnabled = false;
  }
}

void LoadSteps(std::string const& path, ConfigLogFunc log, ServiceBounds& bounds) {
  IniFile ini;
  log(LOG_INFO, "Config: Loading from %s", path.c_str());
  if (!ini.read(path)) {
    log(LOG_ERR, "Config: Failed to load config file.");
    return;
  }
  LoadDesignedKeys(ini, log);
  ReadServiceBounds(ini, log, bounds);
}

}  // namespace

int ParseInt32(char const* text) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::strtol(text, nullptr, 10)));
}

void LoadConfiguration(std::string const& path, ConfigLogFunc log, ServiceBounds& bounds) {
  try {
    LoadSteps(path, log, bounds);
  } catch (...) {
    log(LOG_ERR, "Config: An error occured while loading config file.");
  }
}
