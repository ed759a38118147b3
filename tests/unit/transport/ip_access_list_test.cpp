// Access-list patterns, list files and the deny-then-allow rule.

#include "transport/ip_access_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <string>

namespace norla_server {
namespace {

using Patterns = std::list<std::string>;

TEST(MatchSpec, Table) {
  struct Case {
    char const* text;
    char const* pattern;
    bool matches;
  } const cases[] = {
      // A trailing run of "?" also matches fewer characters; inside, "?" needs one.
      {"192.168.1.5", "192.168.1.??", true},
      {"192.168.1.55", "192.168.1.??", true},
      {"192.168.1.155", "192.168.1.??", false},
      {"192.168.1.1", "192.168.1.1?", true},
      {"192.168.1.12", "192.168.1.1?", true},
      {"10.0..1", "10.0.?.1", false},
      // Anchored at both ends; stars backtrack past early candidates.
      {"10.0.0.12", "10.0.0.1", false},
      {"110.0.0.1", "10.0.0.1", false},
      {"10.0.0.1", "*0.1", true},
      {"10.0.0.2", "*1", false},
      {"1", "1*1", false},
      // "*" and "*.*" match everything, IPv6 texts without "." included.
      {"2001:db8::5", "*.*", true},
      {"::1", "*", true},
      // A star absorbs the stars and question marks behind it, not those before.
      {"10.0.0.1", "10.*?1", true},
      {"10.0.0.1", "10.*??*1", true},
      {"::1", "**.*", true},
      {"::1", "*?", true},
      {"a", "?*", true},
      {"", "?*", false},
      // Case-insensitive; spaces and tabs belong to the pattern.
      {"2001:db8::5", "2001:DB8::*", true},
      {"2001:db9::5", "2001:db8::*", false},
      {"10.0.0.1", " 10.0.0.1", false},
      {"10.0.0.1", "10.0.0.1\t", false},
      // "*.": the first "." must be the last character; a text without one matches.
      {"10.", "*.", true},
      {"10.0.", "*.", false},
      {"2001:db8::5", "*.", true},
      {"10.", "**.", true},
      {"10.0.0.1", "", false},
  };
  for (auto const& c : cases) {
    EXPECT_EQ(match_spec(c.text, c.pattern), c.matches) << c.text << " against " << c.pattern;
  }
  EXPECT_FALSE(match_spec(nullptr, "*"));
  EXPECT_FALSE(match_spec("10.0.0.1", nullptr));
  EXPECT_TRUE(match_spec(std::string(4096, '1').c_str(), "1*"));
  EXPECT_FALSE(match_spec(std::string(4097, '1').c_str(), "1*"));  // not truncated into a match
}

TEST(MatchSpec, ManyStarsDoNotBacktrackForever) {
  // Plain backtracking would try about 1e12 placements of the twelve stars.
  std::string const text(60, '1');
  EXPECT_FALSE(match_spec(text.c_str(), "*1*1*1*1*1*1*1*1*1*1*1*1*2"));
  EXPECT_TRUE(match_spec((text + "2").c_str(), "*1*1*1*1*1*1*1*1*1*1*1*1*2"));
}

TEST(IpList, PiecesLineEndsAndBlankLines) {
  std::string const b(255, 'b'), c(255, 'c');
  struct Case {
    std::string content;
    Patterns patterns;
  } const cases[] = {
      {"10.0.0.1\n192.168.1.*\n", {"10.0.0.1", "192.168.1.*"}},
      {"10.0.0.1\r\n\r\n192.168.1.*\r\n", {"10.0.0.1", "192.168.1.*"}},
      {"\n10.0.0.1\rjunk\n192.168.1.*", {"10.0.0.1", "192.168.1.*"}},
      {" 10.0.0.1\n10.0.0.2\t\n", {" 10.0.0.1", "10.0.0.2\t"}},
      {b + "\n", {b}},
      {b + c + "ddd\r\nnext\n", {b, c, "ddd", "next"}},
  };
  for (auto const& c : cases) {
    std::FILE* file = fmemopen(const_cast<char*>(c.content.data()), c.content.size(), "r");
    ASSERT_NE(file, nullptr);
    Patterns patterns = {"kept"};
    LoadIPList(file, patterns);
    std::fclose(file);
    patterns.pop_front();
    EXPECT_EQ(patterns, c.patterns) << c.content;
  }
}

TEST(IpList, LoadIPConfigReadsBothFilesFromTheWorkingDirectory) {
  char dir[] = "/tmp/transport-lists-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string const deny = std::string(dir) + "/denyip.txt";
  std::string const allow = std::string(dir) + "/allowip.txt";
  std::ofstream(deny) << "*\r\n";
  std::ofstream(allow) << "127.0.0.2\n127.0.0.3\n";
  Patterns missing;
  EXPECT_FALSE(LoadIPListFile((std::string(dir) + "/none.txt").c_str(), missing));

  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir), 0);
  LoadIPConfig();
  EXPECT_EQ(chdir(previous), 0);
  std::free(previous);
  std::remove(deny.c_str());
  std::remove(allow.c_str());
  rmdir(dir);

  EXPECT_EQ(gdqDenyIP, Patterns{"*"});
  EXPECT_EQ(gdqAllowIP, (Patterns{"127.0.0.2", "127.0.0.3"}));
  EXPECT_TRUE(IsPeerAdmitted("127.0.0.2"));
  EXPECT_FALSE(IsPeerAdmitted("127.0.0.4"));
  gdqDenyIP.clear();
  gdqAllowIP.clear();
}

TEST(AccessRule, DenyThenAllow) {
  struct Case {
    Patterns deny, allow;
    char const* peer;
    bool admitted;
  } const cases[] = {
      {{"*"}, {"192.168.1.*"}, "192.168.1.20", true},
      {{"*"}, {"192.168.1.*"}, "10.0.0.5", false},
      {{"10.0.0.*"}, {}, "10.0.0.7", false},
      {{"10.0.0.*"}, {}, "10.0.1.7", true},
      {{}, {"10.0.0.1"}, "10.0.0.2", true},  // an allow list alone changes nothing
      {{"2001:db8::*"}, {}, "2001:db8::5", false},
      {{"10.9.9.9", "127.0.0.*"}, {"10.*", "127.0.0.2"}, "127.0.0.2", true},
      {{"10.9.9.9", "127.0.0.*"}, {"10.*", "127.0.0.2"}, "127.0.0.3", false},
  };
  for (auto const& c : cases)
    EXPECT_EQ(IsPeerAdmitted(c.peer, c.deny, c.allow), c.admitted) << c.peer;
}

}  // namespace
}  // namespace norla_server
