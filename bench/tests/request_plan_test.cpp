#include "bench/request_plan.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "client/request_builder.h"

namespace tally_bench {
namespace {

// The daemon's table rules for the commands the plan sends.
class FakeDaemon {
 public:
  int Apply(TPlannedRequest const& request) {
    if (request.command == norla::kNorlaPing) return 200;
    unsigned& logins = table_[request.id];
    int code = 200;
    switch (request.command) {
      case norla::kNorlaLogin: ++logins; break;
      case norla::kNorlaAlive: if (logins == 0) logins = 1; break;
      case norla::kNorlaExit:
        if (logins == 0) code = 303;
        else --logins;
        break;
    }
    if (logins == 0) table_.erase(request.id);
    return code;
  }
  void Forget(long id) { table_.erase(id); }  // the idle sweep
  std::size_t Count() const { return table_.size(); }

 private:
  std::map<long, unsigned> table_;
};

// Keeps up to `inFlight` requests outstanding and completes them in random
// order, as concurrent connections do. Checks that no id is in flight twice.
// Returns the number of replies the plan did not expect.
int Drive(RequestPlan& plan, FakeDaemon& daemon, int requests, std::size_t inFlight,
          std::mt19937& random, bool untilExhausted = false) {
  std::vector<TPlannedRequest> pending;
  std::multiset<long> busy;
  int surprises = 0;
  int issued = 0;
  for (;;) {
    while (pending.size() < inFlight && (untilExhausted || issued < requests)) {
      TPlannedRequest request;
      if (!plan.Next(request)) break;
      if (request.id >= 0) {
        EXPECT_EQ(busy.count(request.id), 0u) << "id " << request.id << " handed out twice";
        busy.insert(request.id);
      }
      pending.push_back(request);
      ++issued;
    }
    if (pending.empty()) break;
    std::size_t pick = std::uniform_int_distribution<std::size_t>(0, pending.size() - 1)(random);
    TPlannedRequest request = pending[pick];
    pending.erase(pending.begin() + static_cast<long>(pick));
    if (request.id >= 0) busy.erase(busy.find(request.id));
    if (!plan.Complete(request, daemon.Apply(request))) ++surprises;
  }
  return surprises;
}

TEST(RequestPlanTest, PredictsEveryReplyAndDrainsToEmpty) {
  struct Case {
    unsigned ids;
    std::size_t inFlight;
    TMix mix;
  };
  Case const cases[] = {
      {50, 8, TMix{}},            // the default mix
      {4, 16, TMix{}},            // more connections than ids: PINGs fill in
      {100, 32, TMix{5, 0, 1, 0}},  // mostly LOGIN: counts above 1 to drain
      {20, 4, TMix{0, 1, 3, 0}},  // mostly EXIT of absent ids: 303s
  };
  for (Case const& c : cases) {
    std::mt19937 random(c.ids);
    RequestPlan plan(c.ids, c.mix, 1234);
    FakeDaemon daemon;
    EXPECT_EQ(Drive(plan, daemon, 5000, c.inFlight, random), 0) << c.ids;
    EXPECT_EQ(plan.Registered(), daemon.Count()) << c.ids;

    plan.StartDrain();
    EXPECT_EQ(Drive(plan, daemon, 0, c.inFlight, random, true), 0) << c.ids;
    EXPECT_TRUE(plan.DrainDone()) << c.ids;
    EXPECT_EQ(plan.Registered(), 0u);
    EXPECT_EQ(daemon.Count(), 0u) << c.ids;
  }
}

TEST(RequestPlanTest, LoginCountsFollowTheReplies) {
  RequestPlan plan(1, TMix{1, 0, 0, 0}, 1);
  TPlannedRequest first, second;
  ASSERT_TRUE(plan.Next(first));
  EXPECT_EQ(first.command, norla::kNorlaLogin);
  EXPECT_EQ(first.id, 0);
  // The only id is in flight, so the next connection can only PING.
  ASSERT_TRUE(plan.Next(second));
  EXPECT_EQ(second.command, norla::kNorlaPing);
  EXPECT_TRUE(plan.Complete(second, 200));
  EXPECT_TRUE(plan.Complete(first, 200));
  ASSERT_TRUE(plan.Next(first));
  EXPECT_TRUE(plan.Complete(first, 200));
  EXPECT_EQ(plan.LoginCount(0), 2u);
  EXPECT_EQ(plan.Registered(), 1u);

  // Draining a count of 2 takes two EXITs that must both be answered 200.
  plan.StartDrain();
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(plan.Next(first));
    EXPECT_EQ(first.command, norla::kNorlaExit);
    EXPECT_EQ(first.expectedCode, 200);
    EXPECT_TRUE(plan.Complete(first, 200));
  }
  EXPECT_FALSE(plan.Next(first));
  EXPECT_TRUE(plan.DrainDone());
}

TEST(RequestPlanTest, UnexpectedAnswersAreReportedAndSettledByTheDrain) {
  std::mt19937 random(3);
  RequestPlan plan(30, TMix{3, 1, 1, 0}, 99);
  FakeDaemon daemon;
  ASSERT_EQ(Drive(plan, daemon, 300, 4, random), 0);
  ASSERT_GT(daemon.Count(), 0u);

  // The daemon drops every entry behind the plan's back (a time-out sweep):
  // EXITs now meet 303 where the plan expects 200.
  for (long id = 0; id < 30; ++id) daemon.Forget(id);
  EXPECT_GT(Drive(plan, daemon, 300, 4, random), 0);

  plan.StartDrain();
  Drive(plan, daemon, 0, 4, random, true);
  EXPECT_TRUE(plan.DrainDone());
  EXPECT_EQ(plan.Uncertain(), 0u);
  EXPECT_EQ(daemon.Count(), 0u);
}

TEST(RequestPlanTest, AbandonedRequestsAreProbedUntil303) {
  RequestPlan plan(1, TMix{1, 0, 0, 0}, 5);
  FakeDaemon daemon;
  TPlannedRequest request;
  // Three LOGINs that the daemon applied but whose replies were lost.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(plan.Next(request));
    daemon.Apply(request);
    plan.Abandon(request);
  }
  EXPECT_EQ(plan.Uncertain(), 1u);

  plan.StartDrain();
  int exits = 0;
  while (plan.Next(request)) {
    ASSERT_EQ(request.command, norla::kNorlaExit);
    EXPECT_TRUE(plan.Complete(request, daemon.Apply(request)));  // 200 and 303 both fit
    ++exits;
  }
  EXPECT_EQ(exits, 4);  // three logins released, then the 303 that settles it
  EXPECT_EQ(daemon.Count(), 0u);
  EXPECT_EQ(plan.Uncertain(), 0u);
  EXPECT_TRUE(plan.DrainDone());
}

TEST(RequestPlanTest, GivesUpOnAnIdThatNeverAnswers303) {
  RequestPlan plan(1, TMix{1, 0, 0, 0}, 5);
  TPlannedRequest request;
  ASSERT_TRUE(plan.Next(request));
  plan.Abandon(request);
  plan.StartDrain();
  int exits = 0;
  while (plan.Next(request) && exits < 1000) {
    plan.Complete(request, 200);
    ++exits;
  }
  EXPECT_LT(exits, 1000);
  EXPECT_TRUE(plan.DrainDone());
  EXPECT_EQ(plan.Uncertain(), 1u);  // still unsettled, which the check reports
}

}  // namespace
}  // namespace tally_bench
