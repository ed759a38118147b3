#include "daemon/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(CommandLine, ScanTable) {
  // Arguments; port; data directory (nullptr: refused); modes, F: --standalone
  // first, S: --standalone anywhere, M: --test-mail.
  using Args = std::vector<std::string>;
  std::tuple<Args, std::uint32_t, char const*, char const*> const cases[] = {
      {{}, 14355, "", ""},
      {{"--port", "8000", "--port", "9000"}, 8000, "", ""},
      {{"--port", "0", "--port", "9000"}, 14355, "", ""},  // the first counts, even as 0
      {{"--port", "12ab"}, 12, "", ""},
      {{"--standalone", "--port"}, 14355, "", "FS"},
      {{"--port", "4294967297"}, 1, "", ""},
      {{"--port", "--port", "5"}, 14355, "", ""},  // a value may look like an option
      {{"--datadir", "--port", "5"}, 5, "--port", ""},
      {{"--datadir", "x", "--datadir", "y", "--datadir"}, 14355, "y", ""},
      {{"--datadir", "conf.d"}, 14355, nullptr, ""},
      {{"--datadir", "a/b"}, 14355, nullptr, ""},
      {{"--datadir", "a.b", "--datadir", "ok"}, 14355, nullptr, ""},  // the refusal stays
      {{"--port", "1", "--standalone"}, 1, "", "S"},
      {{"--test-mail"}, 14355, "", "M"},
      {{"--test-mail", "--standalone"}, 14355, "", "SM"},
  };
  for (auto const& [args, port, dataDir, modes] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    std::vector<char const*> argv{"tallyd"};
    for (auto const& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    CommandLine const line = ScanCommandLine(static_cast<int>(argv.size() - 1), argv.data());
    EXPECT_EQ(line.port, port);
    EXPECT_EQ(line.dataDirRefused ? "(refused)" : line.dataDir, dataDir ? dataDir : "(refused)");
    EXPECT_EQ(std::string(line.standaloneFirst ? "F" : "") + (line.standaloneAnywhere ? "S" : "") +
                  (line.testMail ? "M" : ""),
              modes);
  }
}

}  // namespace
