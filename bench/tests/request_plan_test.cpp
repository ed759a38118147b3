#include "bench/request_plan.h"

#include <gtest/gtest.h>

#include "client/request_builder.h"

namespace tally_bench {
namespace {

// A drain whose requests all fail must end, even for an id the model still
// believes logged in; one 303 settles an uncertain id at once.
TEST(RequestPlanTest, FailingDrainEndsAndA303Settles) {
  RequestPlan plan(2, TMix{1, 0, 0, 0}, 1);  // LOGIN only
  TPlannedRequest first, second;
  ASSERT_TRUE(plan.Next(first));
  ASSERT_TRUE(plan.Next(second));
  ASSERT_NE(first.id, second.id);
  EXPECT_TRUE(plan.Complete(first, 200));
  EXPECT_TRUE(plan.Complete(second, 200));
  EXPECT_EQ(plan.Registered(), 2u);

  plan.StartDrain();
  int sent = 0;
  for (TPlannedRequest exit; !plan.DrainDone() && sent < 10000; ++sent) {
    ASSERT_TRUE(plan.Next(exit));
    EXPECT_EQ(exit.command, norla::kNorlaExit);
    if (exit.id == first.id) {
      plan.Abandon(exit);  // every EXIT of the first id fails
    } else {
      plan.Complete(exit, sent == 1 ? 200 : 303);
    }
  }
  EXPECT_TRUE(plan.DrainDone());
  EXPECT_LT(sent, 200);
  EXPECT_EQ(plan.Uncertain(), 1u);  // the failing id stays unsettled
  EXPECT_EQ(plan.LoginCount(second.id), 0u);
}

}  // namespace
}  // namespace tally_bench
