#include "server/redis_asio_adapter.h"

#include <hiredis/async.h>

namespace norla_server {

namespace {

RedisAsioAdapter* From(void* adapter) {
  return static_cast<RedisAsioAdapter*>(adapter);
}

}  // namespace

RedisAsioAdapter::RedisAsioAdapter(boost::asio::io_context& io, redisAsyncContext* context)
    : context_(context), socket_(io, context->c.fd) {}

bool RedisAsioAdapter::Attach(boost::asio::io_context& io, redisAsyncContext* context) {
  if (context->c.fd < 0 || context->ev.data != nullptr) return false;
  auto adapter = std::make_shared<RedisAsioAdapter>(io, context);
  adapter->self_ = adapter;
  context->ev.data = adapter.get();
  context->ev.addRead = &RedisAsioAdapter::AddRead;
  context->ev.delRead = &RedisAsioAdapter::DelRead;
  context->ev.addWrite = &RedisAsioAdapter::AddWrite;
  context->ev.delWrite = &RedisAsioAdapter::DelWrite;
  context->ev.cleanup = &RedisAsioAdapter::Cleanup;
  // hiredis finishes a non-blocking connect on the first writable event.
  AddWrite(adapter.get());
  return true;
}

void RedisAsioAdapter::AddRead(void* adapter) {
  From(adapter)->reading_ = true;
  From(adapter)->ArmRead();
}

void RedisAsioAdapter::DelRead(void* adapter) {
  From(adapter)->reading_ = false;
}

void RedisAsioAdapter::AddWrite(void* adapter) {
  From(adapter)->writing_ = true;
  From(adapter)->ArmWrite();
}

void RedisAsioAdapter::DelWrite(void* adapter) {
  From(adapter)->writing_ = false;
}

void RedisAsioAdapter::Cleanup(void* adapter) {
  RedisAsioAdapter* self = From(adapter);
  self->context_ = nullptr;
  self->reading_ = self->writing_ = false;
  // Not closed: the descriptor is hiredis's to close. Pending waits end aborted.
  self->socket_.release();
  self->self_.reset();  // the waits' own references keep it until they end
}

// A wait stays armed only while hiredis wants it; hiredis may free the
// context inside its handler call, which the null context then tells.
void RedisAsioAdapter::ArmRead() {
  if (readArmed_ || context_ == nullptr) return;
  readArmed_ = true;
  socket_.async_wait(boost::asio::posix::stream_descriptor::wait_read,
                     [self = shared_from_this()](boost::system::error_code const& error) {
                       self->readArmed_ = false;
                       if (error || self->context_ == nullptr || !self->reading_) return;
                       redisAsyncHandleRead(self->context_);
                       if (self->reading_) self->ArmRead();
                     });
}

void RedisAsioAdapter::ArmWrite() {
  if (writeArmed_ || context_ == nullptr) return;
  writeArmed_ = true;
  socket_.async_wait(boost::asio::posix::stream_descriptor::wait_write,
                     [self = shared_from_this()](boost::system::error_code const& error) {
                       self->writeArmed_ = false;
                       if (error || self->context_ == nullptr || !self->writing_) return;
                       redisAsyncHandleWrite(self->context_);
                       if (self->writing_) self->ArmWrite();
                     });
}

}  // namespace norla_server
