#include "transport/session_deadlines.h"

#include <algorithm>

namespace norla_server {

KSessionDeadlines::KSessionDeadlines(boost::asio::io_context& io, std::chrono::milliseconds limit)
    : timer_(io),
      limit_(limit),
      tick_(
          std::clamp(limit / 30, std::chrono::milliseconds(10), std::chrono::milliseconds(1000))) {}

void KSessionDeadlines::Add(KPacketSession& session) {
  if (session.deadlineHook_.is_linked()) return;
  session.deadline_ = std::chrono::steady_clock::now() + limit_;
  sessions_.push_back(session);
  if (!armed_ && !closed_) Arm();
}

std::size_t KSessionDeadlines::CloseOldestAwaitingFrame(
    std::size_t most, std::function<void(KPacketSession&)> const& onClosed) {
  std::size_t closed = 0;
  for (auto it = sessions_.begin(); it != sessions_.end() && closed < most;) {
    KPacketSession& session = *it++;  // closing unlinks it
    if (!session.AwaitingFrame()) continue;
    session.Close();
    ++closed;
    onClosed(session);
  }
  return closed;
}

void KSessionDeadlines::Close() {
  closed_ = true;
  try {
    timer_.cancel();
  } catch (boost::system::system_error const&) {
    // The timer goes with this object.
  }
}

// Armed only while sessions are listed: an idle server has no timer running.
void KSessionDeadlines::Arm() {
  armed_ = true;
  timer_.expires_after(tick_);
  timer_.async_wait([this](boost::system::error_code const& error) { Sweep(error); });
}

void KSessionDeadlines::Sweep(boost::system::error_code const& error) {
  armed_ = false;
  if (error || closed_) return;
  auto const now = std::chrono::steady_clock::now();
  while (!sessions_.empty() && sessions_.front().deadline_ <= now) {
    KPacketSession& expired = sessions_.front();
    sessions_.pop_front();
    expired.Close();
  }
  if (!sessions_.empty()) Arm();
}

}  // namespace norla_server
