// Access-list patterns and list files.

#include "transport/ip_access_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "tests/support/daemon_process.h"

namespace norla_server {
namespace {

TEST(MatchSpec, Table) {
  struct Case {
    char const* text;
    char const* pattern;
    bool matches;
  } const cases[] = {
      // A trailing run of "?" also matches fewer characters; inside, "?" needs one.
      {"192.168.1.5", "192.168.1.??", true},
      {"192.168.1.155", "192.168.1.??", false},
      {"10.0..1", "10.0.?.1", false},
      // Anchored at both ends; stars backtrack past early candidates.
      {"10.0.0.12", "10.0.0.1", false},
      {"110.0.0.1", "10.0.0.1", false},
      {"10.0.0.1", "*0.1", true},
      {"1", "1*1", false},
      // A star absorbs the stars and "?" behind it, not those before; "*.*" matches all.
      {"10.0.0.1", "10.*??*1", true},
      {"::1", "**.*", true},
      {"", "?*", false},
      // Case-insensitive; spaces belong to the pattern.
      {"2001:db8::5", "2001:DB8::*", true},
      {"10.0.0.1", " 10.0.0.1", false},
      // "*.": the first "." must be the last character; a text without one matches.
      {"10.", "*.", true},
      {"10.0.", "*.", false},
      {"2001:db8::5", "*.", true},
  };
  for (auto const& c : cases) {
    EXPECT_EQ(match_spec(c.text, c.pattern), c.matches) << c.text << " against " << c.pattern;
  }
  EXPECT_FALSE(match_spec(nullptr, "*"));
  EXPECT_TRUE(match_spec(std::string(4096, '1').c_str(), "1*"));
  EXPECT_FALSE(match_spec(std::string(4097, '1').c_str(), "1*"));  // not truncated into a match
  // Plain backtracking would try about 1e12 placements of these stars.
  EXPECT_FALSE(match_spec(std::string(60, '1').c_str(), "*1*1*1*1*1*1*1*1*1*1*1*1*2"));
}

TEST(IpList, PiecesOf255LineEndsAndBlankLines) {
  std::string const b(255, 'b'), c(255, 'c');
  std::string content = "\n 10.0.0.1\r\n\r\n10.0.0.2\rjunk\n10.0.0.3\t\n" + b + "\n" + b + c + "d";
  std::FILE* file = fmemopen(&content[0], content.size(), "r");
  ASSERT_NE(file, nullptr);
  std::list<std::string> patterns = {"kept"};
  EXPECT_TRUE(LoadIPList(file, patterns));
  std::fclose(file);
  EXPECT_EQ(patterns,
            (std::list<std::string>{"kept", " 10.0.0.1", "10.0.0.2", "10.0.0.3\t", b, b, c, "d"}));
}

// At start an unreadable file is an empty list; a reload then fails, so the
// running service keeps its lists, and otherwise replaces both at once.
TEST(IpList, ReloadReadsBothFilesOrNothing) {
  tally_test::TempDir dir;
  char saved[PATH_MAX];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  dir.WriteFile("allowip.txt", "10.0.0.1\n");
  ASSERT_EQ(mkdir("denyip.txt", 0700), 0);
  auto const started = LoadIPConfig();
  std::string failure;
  auto const refused = ReloadIPConfig(failure);
  ASSERT_EQ(rmdir("denyip.txt"), 0);
  dir.WriteFile("denyip.txt", "*\n");
  auto const reloaded = ReloadIPConfig(failure);
  ASSERT_EQ(chdir(saved), 0);

  EXPECT_TRUE(started->deny().empty());
  EXPECT_TRUE(started->Admits("10.0.0.2"));
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(failure, "cannot read ./denyip.txt: Is a directory");
  ASSERT_NE(reloaded, nullptr);
  EXPECT_FALSE(reloaded->Admits("10.0.0.2"));
  EXPECT_TRUE(reloaded->Admits("10.0.0.1"));
}

}  // namespace
}  // namespace norla_server
