#include "bench/request_plan.h"

#include "client/request_builder.h"

namespace tally_bench {

using namespace tally_protocol;

namespace {

// An uncertain id whose EXITs keep being answered 200, or keep failing, is
// given up after this many, so neither a daemon that never answers 303 nor a
// failing connection can keep the drain going.
constexpr unsigned kMaxProbes = 64;

// Expected code that accepts both 200 and 303 (EXIT of an uncertain id).
constexpr int kEitherCode = 0;

}  // namespace

RequestPlan::RequestPlan(unsigned ids, TMix mix, std::uint64_t seed)
    : ids_(ids), mix_(mix), random_(seed) {}

long RequestPlan::PickIdle() {
  if (ids_.empty() || busyCount_ >= ids_.size()) return -1;
  std::uniform_int_distribution<std::size_t> pick(0, ids_.size() - 1);
  std::size_t start = pick(random_);
  // Linear probing: concurrency is small next to the id count in any useful run.
  for (std::size_t step = 0; step < ids_.size(); ++step) {
    std::size_t index = (start + step) % ids_.size();
    if (!ids_[index].busy) return static_cast<long>(index);
  }
  return -1;
}

bool RequestPlan::Next(TPlannedRequest& request) {
  if (draining_) return NextDrain(request);

  unsigned total = mix_.login + mix_.alive + mix_.exit + mix_.ping;
  std::uniform_int_distribution<unsigned> draw(0, total - 1);
  unsigned ticket = draw(random_);
  int command = norla::kNorlaPing;
  if (ticket < mix_.login) {
    command = norla::kNorlaLogin;
  } else if (ticket < mix_.login + mix_.alive) {
    command = norla::kNorlaAlive;
  } else if (ticket < mix_.login + mix_.alive + mix_.exit) {
    command = norla::kNorlaExit;
  }
  long id = command == norla::kNorlaPing ? -1 : PickIdle();
  if (id < 0) {
    request = TPlannedRequest{norla::kNorlaPing, -1, kReplyOk};
    return true;
  }
  IdState& state = ids_[id];
  int expected = kReplyOk;
  if (command == norla::kNorlaExit) {
    expected = state.uncertain ? kEitherCode : state.logins == 0 ? kReplyNotRegistered : kReplyOk;
  }
  state.busy = true;
  ++busyCount_;
  request = TPlannedRequest{command, id, expected};
  return true;
}

void RequestPlan::StartDrain() {
  draining_ = true;
  drainQueue_.clear();
  for (std::size_t i = 0; i < ids_.size(); ++i) {
    if (!ids_[i].busy && HasDrainWork(ids_[i])) drainQueue_.push_back(static_cast<long>(i));
  }
}

bool RequestPlan::HasDrainWork(IdState const& state) const {
  // An id that turned uncertain is bounded even while the model still counts
  // logins for it: when every request fails (a frame the daemon drops, say),
  // its EXITs fail too and would otherwise be retried without end.
  return (state.logins > 0 || state.uncertain) && state.probes < kMaxProbes;
}

bool RequestPlan::NextDrain(TPlannedRequest& request) {
  while (!drainQueue_.empty()) {
    long id = drainQueue_.front();
    drainQueue_.pop_front();
    IdState& state = ids_[id];
    if (state.busy || !HasDrainWork(state)) continue;
    state.busy = true;
    ++busyCount_;
    if (state.uncertain) ++state.probes;
    request = TPlannedRequest{norla::kNorlaExit, id, state.uncertain ? kEitherCode : kReplyOk};
    return true;
  }
  return false;
}

bool RequestPlan::DrainDone() const {
  if (busyCount_ > 0) return false;
  for (IdState const& state : ids_) {
    if (HasDrainWork(state)) return false;
  }
  return true;
}

void RequestPlan::Finish(TPlannedRequest const& request) {
  IdState& state = ids_[request.id];
  state.busy = false;
  --busyCount_;
  if (draining_ && HasDrainWork(state)) drainQueue_.push_back(request.id);
}

bool RequestPlan::Complete(TPlannedRequest const& request, int code) {
  bool expected = request.expectedCode == kEitherCode
                      ? (code == kReplyOk || code == kReplyNotRegistered)
                      : code == request.expectedCode;
  if (request.id < 0) return expected;

  IdState& state = ids_[request.id];
  if (code == kReplyOk) {
    switch (request.command) {
      case norla::kNorlaLogin:
        SetLogins(state, state.logins + 1);
        break;
      case norla::kNorlaAlive:
        if (state.logins == 0) SetLogins(state, 1);
        break;
      case norla::kNorlaExit:
        // 200 with no login known means the daemon held an entry we did not.
        if (state.logins == 0)
          SetUncertain(state, true);
        else
          SetLogins(state, state.logins - 1);
        break;
    }
  } else if (code == kReplyNotRegistered && request.command == norla::kNorlaExit) {
    // Definite: the daemon holds no entry for this id.
    SetLogins(state, 0);
    SetUncertain(state, false);
    state.probes = 0;
  }
  // Any other code is a refusal, which leaves the daemon's table unchanged.
  Finish(request);
  return expected;
}

void RequestPlan::Abandon(TPlannedRequest const& request) {
  if (request.id < 0) return;
  IdState& state = ids_[request.id];
  if (request.command != norla::kNorlaPing) SetUncertain(state, true);
  Finish(request);
}

void RequestPlan::Release(TPlannedRequest const& request) {
  if (request.id >= 0) Finish(request);
}

void RequestPlan::SetLogins(IdState& state, unsigned logins) {
  if (state.logins == 0 && logins > 0) ++registered_;
  if (state.logins > 0 && logins == 0) --registered_;
  state.logins = logins;
}

void RequestPlan::SetUncertain(IdState& state, bool uncertain) {
  if (uncertain && !state.uncertain) ++uncertainCount_;
  if (!uncertain && state.uncertain) --uncertainCount_;
  state.uncertain = uncertain;
}

}  // namespace tally_bench
