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

struct MatchCase {
  char const* text;
  char const* pattern;
  bool matches;
};

TEST(MatchSpec, Table) {
  MatchCase const cases[] = {
      // A trailing run of "?" also matches fewer characters.
      {"192.168.1.5", "192.168.1.??", true},
      {"192.168.1.55", "192.168.1.??", true},
      {"192.168.1.155", "192.168.1.??", false},
      {"192.168.1.1", "192.168.1.1?", true},
      {"192.168.1.12", "192.168.1.1?", true},
      {"192.168.1.123", "192.168.1.1?", false},
      // "?" inside the pattern needs a character.
      {"10.0.0.1", "10.0.?.1", true},
      {"10.0..1", "10.0.?.1", false},
      // Anchored at both ends.
      {"10.0.0.1", "10.0.0.1", true},
      {"10.0.0.12", "10.0.0.1", false},
      {"110.0.0.1", "10.0.0.1", false},
      // Stars, with backtracking past early candidates.
      {"10.0.0.1", "*1", true},
      {"10.0.0.2", "*1", false},
      {"10.0.0.1", "*0.1", true},
      {"10.0.0.1", "10.*.1", true},
      {"10.0.0.1", "1*1*1", false},
      {"1", "1*1", false},
      {"10.0.0.7", "10.0.0.*", true},
      {"10.0.1.7", "10.0.0.*", false},
      // "*" and "*.*" match everything, IPv6 texts without "." included.
      {"2001:db8::5", "*.*", true},
      {"::1", "*", true},
      {"", "*.*", true},
      // A star absorbs stars and question marks behind it; not those before it.
      {"10.0.0.1", "10.*?1", true},
      {"10.0.0.1", "10.**1", true},
      {"10.0.0.1", "10.*??*1", true},
      {"10.0.0.2", "10.*?1", false},
      {"::1", "**.*", true},
      {"::1", "*?", true},
      {"a", "?*", true},
      {"", "?*", false},
      // Case-insensitive.
      {"2001:db8::5", "2001:db8::*", true},
      {"2001:db8::5", "2001:DB8::*", true},
      {"FE80::1", "fe80::?", true},
      {"2001:db9::5", "2001:db8::*", false},
      // Spaces and tabs are part of the pattern.
      {"10.0.0.1", " 10.0.0.1", false},
      {"10.0.0.1", "10.0.0.1 ", false},
      {"10.0.0.1", "10.0.0.1\t", false},
      // "*." : the first "." must be the last character; a text without "." matches.
      {"10.", "*.", true},
      {"10.0", "*.", false},
      {"10.0.", "*.", false},
      {"2001:db8::5", "*.", true},
      {"10.", "**.", true},  // normalised to "*."
      // Nothing to match against.
      {"10.0.0.1", "", false},
  };
  for (MatchCase const& c : cases) {
    EXPECT_EQ(match_spec(c.text, c.pattern), c.matches)
        << '"' << c.text << "\" against \"" << c.pattern << '"';
  }
}

TEST(MatchSpec, NullAndOverlongArguments) {
  EXPECT_FALSE(match_spec(nullptr, "*"));
  EXPECT_FALSE(match_spec("10.0.0.1", nullptr));
  std::string const longText(5000, '1');
  EXPECT_FALSE(match_spec(longText.c_str(), "1*"));
  std::string const longestText(4096, '1');
  EXPECT_TRUE(match_spec(longestText.c_str(), "1*"));
  std::string const longPattern = std::string(4096, '?') + "*";
  EXPECT_FALSE(match_spec("1", longPattern.c_str()));
}

TEST(MatchSpec, ManyStarsDoNotBacktrackForever) {
  // Plain backtracking tries every placement of the twelve stars: about 1e12.
  std::string const text(60, '1');
  EXPECT_FALSE(match_spec(text.c_str(), "*1*1*1*1*1*1*1*1*1*1*1*1*2"));
  EXPECT_TRUE(match_spec((text + "2").c_str(), "*1*1*1*1*1*1*1*1*1*1*1*1*2"));
}

TEST(MatchWildcard, EndOfTextRules) {
  EXPECT_TRUE(match_wildcard("", ""));
  EXPECT_FALSE(match_wildcard("a", ""));
  EXPECT_TRUE(match_wildcard("", "???"));
  EXPECT_FALSE(match_wildcard("", "??a"));
  EXPECT_TRUE(match_wildcard("ab", "ab*"));
  EXPECT_FALSE(match_wildcard("ab", "ab*c"));
}

class ListFile : public ::testing::Test {
 protected:
  Patterns Load(std::string const& content) {
    std::FILE* file = fmemopen(const_cast<char*>(content.data()), content.size(), "r");
    EXPECT_NE(file, nullptr);
    Patterns patterns;
    if (file != nullptr) {
      LoadIPList(file, patterns);
      std::fclose(file);
    }
    return patterns;
  }
};

TEST_F(ListFile, LineEndsAndBlankLines) {
  Patterns const expected = {"10.0.0.1", "192.168.1.*"};
  EXPECT_EQ(Load("10.0.0.1\n192.168.1.*\n"), expected);
  EXPECT_EQ(Load("10.0.0.1\r\n\r\n192.168.1.*\r\n"), expected);
  EXPECT_EQ(Load("\n\n10.0.0.1\n\n192.168.1.*"), expected);    // no final line end
  EXPECT_EQ(Load("10.0.0.1\rjunk\n192.168.1.*\n"), expected);  // cut at the first CR
  EXPECT_EQ(Load(""), Patterns{});
}

TEST_F(ListFile, SpacesStayInThePattern) {
  EXPECT_EQ(Load(" 10.0.0.1\n10.0.0.2\t\n"), (Patterns{" 10.0.0.1", "10.0.0.2\t"}));
}

TEST_F(ListFile, LongLinesComeIn255CharacterPieces) {
  std::string const exact(255, 'a');
  EXPECT_EQ(Load(exact + "\n"), Patterns{exact});

  std::string const line = std::string(255, 'b') + std::string(255, 'c') + "ddd";
  EXPECT_EQ(Load(line + "\r\nnext\n"),
            (Patterns{std::string(255, 'b'), std::string(255, 'c'), "ddd", "next"}));
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/transport-lists-XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    dir_ = path;
  }
  void TearDown() override {
    std::remove((dir_ + "/denyip.txt").c_str());
    std::remove((dir_ + "/allowip.txt").c_str());
    rmdir(dir_.c_str());
    gdqDenyIP.clear();
    gdqAllowIP.clear();
  }
  void Write(std::string const& name, std::string const& content) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << content;
  }

  std::string dir_;
};

TEST_F(TempDir, LoadListFileAppendsAndSkipsMissingFiles) {
  Write("denyip.txt", "10.0.0.*\n");
  Patterns patterns = {"first"};
  EXPECT_TRUE(LoadIPListFile((dir_ + "/denyip.txt").c_str(), patterns));
  EXPECT_FALSE(LoadIPListFile((dir_ + "/missing.txt").c_str(), patterns));
  EXPECT_EQ(patterns, (Patterns{"first", "10.0.0.*"}));
}

TEST_F(TempDir, LoadIPConfigReadsBothFilesFromTheWorkingDirectory) {
  Write("denyip.txt", "*\r\n");
  Write("allowip.txt", "127.0.0.2\n127.0.0.3\n");
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  LoadIPConfig();
  ASSERT_EQ(chdir(previous), 0);
  std::free(previous);
  EXPECT_EQ(gdqDenyIP, Patterns{"*"});
  EXPECT_EQ(gdqAllowIP, (Patterns{"127.0.0.2", "127.0.0.3"}));
}

TEST(AccessRule, DenyThenAllow) {
  struct Case {
    Patterns deny;
    Patterns allow;
    char const* peer;
    bool admitted;
  };
  Case const cases[] = {
      {{"*"}, {"192.168.1.*"}, "192.168.1.20", true},
      {{"*"}, {"192.168.1.*"}, "10.0.0.5", false},
      {{"10.0.0.*"}, {}, "10.0.0.7", false},
      {{"10.0.0.*"}, {}, "10.0.1.7", true},
      {{}, {"10.0.0.1"}, "10.0.0.2", true},  // an allow list alone changes nothing
      {{"2001:db8::*"}, {}, "2001:db8::5", false},
      {{"2001:DB8::*"}, {}, "2001:db8::5", false},
      {{"10.9.9.9", "127.0.0.*"}, {"10.*", "127.0.0.2"}, "127.0.0.2", true},
      {{"10.9.9.9", "127.0.0.*"}, {"10.*", "127.0.0.2"}, "127.0.0.3", false},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(IsPeerAdmitted(c.peer, c.deny, c.allow), c.admitted) << c.peer;
  }
}

TEST(AccessRule, UsesTheGlobalLists) {
  gdqDenyIP = {"*"};
  gdqAllowIP = {"127.0.0.2"};
  EXPECT_TRUE(IsPeerAdmitted("127.0.0.2"));
  EXPECT_FALSE(IsPeerAdmitted("127.0.0.3"));
  gdqDenyIP.clear();
  gdqAllowIP.clear();
  EXPECT_TRUE(IsPeerAdmitted("127.0.0.3"));
}

}  // namespace
}  // namespace norla_server
