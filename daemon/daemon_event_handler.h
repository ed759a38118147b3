#pragma once

// The daemon's event handler: it takes no action on any notification. The
// service's event lines already record every event in the system log.

#include "server/event_handler.h"

class CNorlaEventHandler final : public INorlaEventHandler {
 public:
  void OnPing() override {}
  void OnLogin(char const*, char const*) override {}
  void OnLogout(char const*, char const*, bool) override {}
  void OnCountUp(char const*, char const*) override {}
  void OnCountDown(char const*, char const*) override {}
  void OnAlive(char const*, char const*) override {}
  void OnKilled(char const*) override {}
  void OnConnect(char const*) override {}
  void OnConnectRefused(char const*) override {}
};
