#include "transport/packet_server_thread.h"

#include <boost/date_time/posix_time/posix_time_duration.hpp>
#include <boost/thread/thread.hpp>
#include <new>
#include <string>

#include "base/signal_mask.h"
#include "transport/packet_server_thread_impl.h"

namespace norla_server {

KPacketServerThread* KPacketServerThread::Start(int port, PacketHandler handler,
                                                ServerThreadOptions const& options,
                                                StartFailure& failure) {
  std::unique_ptr<KPacketServerThread> object(new (std::nothrow) KPacketServerThread);
  if (!object) {
    failure = StartFailure::kNoThreadObject;
    return nullptr;
  }
  std::unique_ptr<KPacketServerThreadImpl> impl(new (std::nothrow)
                                                    KPacketServerThreadImpl(port, options.events));
  if (!impl) {
    failure = StartFailure::kNoImpl;
    return nullptr;
  }
  KPacketServerSettings settings;
  settings.handler = std::move(handler);
  settings.asyncHandler = options.asyncHandler;
  settings.sessionDeadline = options.sessionDeadline;
  settings.maxPerAddress = options.maxPerAddress;
  settings.proxySources = options.proxySources;
  if (!impl->init(std::move(settings), options.accessLists)) {
    failure = StartFailure::kSocketOpen;
    return nullptr;
  }
  object->impl_ = std::move(impl);

  std::string line;
  try {
    tally::BlockAsyncSignals blocked;
    KPacketServerThreadImpl* body = object->impl_.get();
    object->thread_ = std::make_unique<boost::thread>([body] { (*body)(); });
    return object.release();
  } catch (std::exception const& e) {
    line = std::string("Thread start failed / Exception: ") + e.what();
  } catch (...) {
    line = "Thread start failed / Unknown exception";
  }
  if (options.events != nullptr) options.events->OnLogLine(TransportLogPriority::kInfo, line);
  failure = StartFailure::kThreadStart;
  return nullptr;
}

KPacketServerThread::~KPacketServerThread() {
  if (thread_ && !Ended()) {
    PostStop();
    try {
      thread_->join();
    } catch (...) {
      // Deleted on the server thread itself: freeing the impl under it would
      // be worse than leaking it.
      (void)impl_.release();
      thread_->detach();
      return;
    }
  }
  impl_.reset();
  if (thread_) thread_->detach();
}

void KPacketServerThread::SetAccessLists(std::shared_ptr<IpAccessLists const> lists) {
  if (impl_) impl_->SetAccessLists(std::move(lists));
}

std::uint64_t KPacketServerThread::Refusals(RefusalReason reason) const {
  return impl_ ? impl_->Refusals(reason) : 0;
}

KTrafficCounts const* KPacketServerThread::Traffic() const {
  return impl_ ? &impl_->Traffic() : nullptr;
}

void KPacketServerThread::PostStop() {
  if (impl_) impl_->Stop();
}

void KPacketServerThread::Join(unsigned long milliseconds) {
  if (!thread_ || !thread_->joinable()) return;
  try {
    // Limits beyond a year are as good as none, and would overflow the clock.
    constexpr unsigned long kUnlimited = 365UL * 24 * 3600 * 1000;
    if (milliseconds == 0 || milliseconds > kUnlimited) {
      thread_->join();
    } else {
      // The posix_time form keeps the wait on the monotonic clock without
      // pulling in the Boost.Chrono library.
      thread_->timed_join(boost::posix_time::milliseconds(static_cast<long>(milliseconds)));
    }
  } catch (boost::thread_exception const&) {
    // Called on the server thread itself: there is nothing to wait for.
  }
}

bool KPacketServerThread::Ended() const {
  return !thread_ || !impl_ || impl_->Ended();
}

}  // namespace norla_server
