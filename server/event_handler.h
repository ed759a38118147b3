#pragma once

// The interface through which the session service notifies its host.
//
// The slot order is part of the contract with hosts built separately: never
// reorder, insert or remove operations. There is deliberately no virtual
// destructor; the host owns its handler and keeps it alive from
// NorlaServerCreate until NorlaServerDestroy has returned.
//
// Threads: OnPing runs on the server thread with the request lock held;
// OnLogin, OnLogout, OnCountUp, OnCountDown and OnAlive run there with the
// request lock and the client-table lock held;
// OnKilled runs on the thread calling NorlaServerUpdateClients with the
// client-table lock held; OnConnect and OnConnectRefused run on the server
// thread with no lock held. Implementations must return promptly and must not
// call back into the service. The strings are valid only during the call.
class INorlaEventHandler {
 public:
  virtual void OnPing() = 0;
  virtual void OnLogin(char const* uniqueId, char const* appId) = 0;
  virtual void OnLogout(char const* uniqueId, char const* appId, bool flag) = 0;
  virtual void OnCountUp(char const* uniqueId, char const* appId) = 0;
  virtual void OnCountDown(char const* uniqueId, char const* appId) = 0;
  virtual void OnAlive(char const* uniqueId, char const* appId) = 0;
  virtual void OnKilled(char const* uniqueId) = 0;
  virtual void OnConnect(char const* peer) = 0;
  virtual void OnConnectRefused(char const* peer) = 0;

 protected:
  ~INorlaEventHandler() = default;
};
