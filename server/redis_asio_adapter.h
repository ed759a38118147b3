#pragma once

// Drives a hiredis asynchronous context from an io_context: waits for read
// and write readiness on its socket and lets hiredis read or write then.
//
// Ownership: Attach ties a new adapter to the context; the context's cleanup
// hook (run when hiredis frees it) detaches it. The adapter lives on in its
// pending waits until they end, and then goes.
//
// Threads: everything, hiredis calls included, on the io_context's one thread.

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <memory>

struct redisAsyncContext;

namespace norla_server {

class RedisAsioAdapter : public std::enable_shared_from_this<RedisAsioAdapter> {
 public:
  // Sets the context's event hooks; false when it has none to drive (no socket).
  static bool Attach(boost::asio::io_context& io, redisAsyncContext* context);

  RedisAsioAdapter(boost::asio::io_context& io, redisAsyncContext* context);

 private:
  static void AddRead(void* adapter);
  static void DelRead(void* adapter);
  static void AddWrite(void* adapter);
  static void DelWrite(void* adapter);
  static void Cleanup(void* adapter);

  void ArmRead();
  void ArmWrite();

  redisAsyncContext* context_;  // null once hiredis has let go of it
  boost::asio::posix::stream_descriptor socket_;  // hiredis owns the descriptor
  bool reading_ = false;
  bool writing_ = false;
  bool readArmed_ = false;
  bool writeArmed_ = false;
  std::shared_ptr<RedisAsioAdapter> self_;  // held while the context uses it
};

}  // namespace norla_server
