#include "bench/bench_options.h"

#include <gtest/gtest.h>

#include <vector>

namespace tally_bench {
namespace {

bool Parse(std::vector<char const*> args, BenchOptions& options, std::string& error) {
  args.insert(args.begin(), "tally-bench");
  bool help = false;
  return ParseBenchOptions(static_cast<int>(args.size()), args.data(), options, error, help);
}

TEST(BenchOptionsTest, ReadsEveryOption) {
  BenchOptions options;
  std::string error;
  ASSERT_TRUE(Parse({"--host", "::1", "--port", "9000", "--mode", "echo", "--concurrency", "64",
                     "--duration", "2.5", "--warmup", "0", "--requests", "500", "--ids", "7",
                     "--mix", "1:0:2:3", "--product", "p", "--app", "a", "--id-prefix", "run",
                     "--timeout", "250", "--body-size", "1024", "--no-check", "--quiet"},
                    options, error))
      << error;
  EXPECT_EQ(options.host, "::1");
  EXPECT_EQ(options.port, 9000);
  EXPECT_EQ(options.mode, BenchMode::kEcho);
  EXPECT_EQ(options.concurrency, 64u);
  EXPECT_DOUBLE_EQ(options.durationSeconds, 2.5);
  EXPECT_DOUBLE_EQ(options.warmupSeconds, 0);
  EXPECT_EQ(options.maxRequests, 500u);
  EXPECT_EQ(options.ids, 7u);
  EXPECT_EQ(options.mix.login, 1u);
  EXPECT_EQ(options.mix.alive, 0u);
  EXPECT_EQ(options.mix.exit, 2u);
  EXPECT_EQ(options.mix.ping, 3u);
  EXPECT_EQ(options.product, "p");
  EXPECT_EQ(options.appId, "a");
  EXPECT_EQ(options.idPrefix, "run");
  EXPECT_EQ(options.timeout.count(), 250);
  EXPECT_EQ(options.bodySize, 1024u);
  EXPECT_FALSE(options.check);
  EXPECT_TRUE(options.quiet);
}

TEST(BenchOptionsTest, RefusesBadValues) {
  struct Case {
    std::vector<char const*> args;
  };
  Case const cases[] = {
      {{"--port", "0"}},           {{"--port", "65536"}},       {{"--port", "-1"}},
      {{"--port", "80x"}},         {{"--concurrency", "0"}},    {{"--duration", "0"}},
      {{"--duration", "nan"}},     {{"--warmup", "-1"}},        {{"--ids", "0"}},
      {{"--mix", "0:0:0:0"}},      {{"--mix", "1:2:3"}},        {{"--mix", "1:2:3:4:5"}},
      {{"--mix", "1::3:4"}},       {{"--body-size", "100"}},    {{"--body-size", "1040"}},
      {{"--mode", "fast"}},        {{"--timeout", "0"}},        {{"--port"}},
      {{"--bogus", "1"}},          {{"stray"}},
  };
  for (Case const& c : cases) {
    BenchOptions options;
    std::string error;
    std::string joined;
    for (char const* arg : c.args) joined += std::string(arg) + " ";
    EXPECT_FALSE(Parse(c.args, options, error)) << joined;
    EXPECT_FALSE(error.empty()) << joined;
  }
}

}  // namespace
}  // namespace tally_bench
