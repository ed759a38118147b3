#include "daemon/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CommandLine Scan(std::vector<std::string> args) {
  std::vector<char const*> argv{"tallyd"};
  for (auto const& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  return ScanCommandLine(static_cast<int>(argv.size() - 1), argv.data());
}

struct PortCase {
  std::vector<std::string> args;
  std::uint32_t port;
};

class PortScan : public testing::TestWithParam<PortCase> {};

TEST_P(PortScan, FirstPortCountsAndZeroMeansDefault) {
  EXPECT_EQ(Scan(GetParam().args).port, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, PortScan,
    testing::Values(
        PortCase{{}, 14355}, PortCase{{"--port", "8000"}, 8000},
        PortCase{{"--port", "8000", "--port", "9000"}, 8000},
        PortCase{{"--port", "0", "--port", "9000"}, 14355}, PortCase{{"--port", "abc"}, 14355},
        PortCase{{"--port"}, 14355}, PortCase{{"--standalone", "--port"}, 14355},
        PortCase{{"--port", "12ab"}, 12}, PortCase{{"--port", "  +77"}, 77},
        PortCase{{"--PORT", "77"}, 14355}, PortCase{{"--port=77"}, 14355},
        // No range check: the service gets the 32-bit value.
        PortCase{{"--port", "65536"}, 65536}, PortCase{{"--port", "-1"}, 0xFFFFFFFFu},
        PortCase{{"--port", "4294967296"}, 14355}, PortCase{{"--port", "4294967297"}, 1},
        // Each scan looks at every position: the first --port takes
        // the next argument even when that is an option itself.
        PortCase{{"--port", "--port", "5"}, 14355}, PortCase{{"--datadir", "--port", "5"}, 5}));

struct DataDirCase {
  std::vector<std::string> args;
  bool refused;
  std::string dataDir;
};

class DataDirScan : public testing::TestWithParam<DataDirCase> {};

TEST_P(DataDirScan, LastValueCountsAndDotOrSlashIsRefused) {
  CommandLine const line = Scan(GetParam().args);
  EXPECT_EQ(line.dataDirRefused, GetParam().refused);
  if (!GetParam().refused) {
    EXPECT_EQ(line.dataDir, GetParam().dataDir);
  }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, DataDirScan,
    testing::Values(DataDirCase{{}, false, ""}, DataDirCase{{"--datadir", "x"}, false, "x"},
                    DataDirCase{{"--datadir", "x", "--datadir", "y"}, false, "y"},
                    DataDirCase{{"--datadir", "x", "--datadir"}, false, "x"},
                    DataDirCase{{"--datadir", ""}, false, ""},
                    DataDirCase{{"--datadir", "conf.d"}, true, ""},
                    DataDirCase{{"--datadir", "a/b"}, true, ""},
                    DataDirCase{{"--datadir", "."}, true, ""},
                    DataDirCase{{"--datadir", "ok", "--datadir", "../x"}, true, ""},
                    DataDirCase{{"--datadir", "a.b", "--datadir", "ok"}, true, ""}));

TEST(CommandLine, ModeSwitchesDependOnPosition) {
  struct Case {
    std::vector<std::string> args;
    bool standaloneFirst, standaloneAnywhere, testMail;
  } const cases[] = {
      {{}, false, false, false},
      {{"--standalone"}, true, true, false},
      {{"--port", "1", "--standalone"}, false, true, false},
      {{"--test-mail"}, false, false, true},
      {{"--standalone", "--test-mail"}, true, true, false},
      {{"--test-mail", "--standalone"}, false, true, true},
      {{"--Standalone", "--test-mail "}, false, false, false},
  };
  for (auto const& c : cases) {
    CommandLine const line = Scan(c.args);
    std::string const where = testing::PrintToString(c.args);
    EXPECT_EQ(line.standaloneFirst, c.standaloneFirst) << where;
    EXPECT_EQ(line.standaloneAnywhere, c.standaloneAnywhere) << where;
    EXPECT_EQ(line.testMail, c.testMail) << where;
  }
}

}  // namespace
