#pragma once

// Which request each connection sends next, and what the daemon must answer.
//
// The plan keeps a model of the daemon's table for the run's own UniqueIDs
// (login count per id). An id is handed to one connection at a time, so the
// requests of one id reach the daemon in the order the model applies them and
// every reply code can be predicted exactly. A reply that differs, or a
// request that got no reply (the daemon may or may not have applied it), makes
// the id uncertain; the drain then sends EXIT until the daemon answers 303.
//
// Not thread-safe: the load client runs on one thread.

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "bench/bench_options.h"
#include "protocol/reply_code.h"

namespace tally_bench {

struct TPlannedRequest {
  int command = 0;  // norla::NorlaCommand
  long id = -1;     // index of the UniqueID; -1 for PING
  int expectedCode = tally_protocol::kReplyOk;
};

class RequestPlan {
 public:
  RequestPlan(unsigned ids, TMix mix, std::uint64_t seed);

  // Load phase: a command drawn by the mix for a random idle id, or PING
  // when every id is in flight or the draw is PING.
  // Drain phase: an EXIT that releases a login the model holds, or probes an
  // uncertain id; false when nothing is left to release (or every id with
  // work is in flight).
  bool Next(TPlannedRequest& request);

  // A reply arrived. Applies it to the model and frees the id; false when the
  // code is not the expected one.
  bool Complete(TPlannedRequest const& request, int code);

  // No reply (transport error or time-out): frees the id, which becomes
  // uncertain.
  void Abandon(TPlannedRequest const& request);

  // Frees the id without touching the model (echo mode has no codes).
  void Release(TPlannedRequest const& request);

  // From now on Next hands out only the EXITs that empty the run's entries.
  void StartDrain();
  bool DrainDone() const;

  // Entries of the run's ids that the model believes are in the table.
  std::size_t Registered() const { return registered_; }
  std::size_t Uncertain() const { return uncertainCount_; }
  unsigned LoginCount(long id) const { return ids_[id].logins; }

 private:
  struct IdState {
    unsigned logins = 0;  // 0: absent from the table
    bool busy = false;
    bool uncertain = false;
    unsigned probes = 0;  // drain EXITs sent while uncertain
  };

  long PickIdle();
  bool NextDrain(TPlannedRequest& request);
  bool HasDrainWork(IdState const& state) const;
  void Finish(TPlannedRequest const& request);
  void SetLogins(IdState& state, unsigned logins);
  void SetUncertain(IdState& state, bool uncertain);

  std::vector<IdState> ids_;
  TMix mix_;
  std::mt19937_64 random_;
  bool draining_ = false;
  std::size_t registered_ = 0;
  std::size_t uncertainCount_ = 0;
  std::size_t busyCount_ = 0;
  std::deque<long> drainQueue_;
};

}  // namespace tally_bench
