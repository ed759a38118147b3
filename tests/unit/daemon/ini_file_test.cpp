#include "daemon/ini_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/unit/daemon/capture.h"

namespace {

class IniFileTest : public testing::Test {
 protected:
  ~IniFileTest() override {
    for (auto const& path : paths_) std::remove(path.c_str());
  }
  std::string File(std::string const& content) {
    paths_.push_back(daemon_test::WriteTempFile(content));
    return paths_.back();
  }
  std::vector<std::string> paths_;
};

TEST_F(IniFileTest, AcceptsOrRejectsWholeFiles) {
  struct Case {
    char const* content;
    bool ok;
  } const cases[] = {
      {"", true},
      {"\xEF\xBB\xBF", true},
      {"[s]\nk=v\n", true},
      {"; comment\n# comment\n\n[s]\n  k  =  v  \n", true},
      {"k=v\n", true},  // a key before any section lies at the top level
      {"[s]\nk\n", false},
      {"[s]\n=v\n", false},
      {"[s\nk=v\n", false},
      {"[s]\nk=1\n[t]\nk=2\n[s]\nj=3\n", false},
      {"[s]\nk=1\nk=2\n", false},
      {"\xEF\xBB[s]\nk=v\n", false},  // not a whole mark: the bytes stay
  };
  for (auto const& c : cases) {
    IniFile ini;
    EXPECT_EQ(ini.read(File(c.content)), c.ok) << testing::PrintToString(c.content);
  }
}

TEST_F(IniFileTest, ByteOrderMarkIsSkipped) {
  for (std::string const prefix : {"", "\xEF\xBB\xBF"}) {
    IniFile ini;
    ASSERT_TRUE(ini.read(File(prefix + "[tallyd]\nsyslog-ident=x\n")));
    EXPECT_EQ(ini.get<std::string>("tallyd.syslog-ident"), std::string("x"));
    EXPECT_TRUE(ini.exist("tallyd.syslog-ident"));
  }
}

TEST_F(IniFileTest, FailedReadLeavesTheTreeEmpty) {
  IniFile ini;
  ASSERT_TRUE(ini.read(File("[s]\nk=v\n")));
  EXPECT_FALSE(ini.read(File("[s]\nk=v\nk=w\n")));
  EXPECT_FALSE(ini.get<std::string>("s.k"));
  ASSERT_TRUE(ini.read(File("[s]\nk=v\n")));
  EXPECT_FALSE(ini.read("/nonexistent-tallyd-dir/x.ini"));
  EXPECT_FALSE(ini.exist("s.k"));
}

TEST_F(IniFileTest, GetAndExist) {
  IniFile ini;
  ASSERT_TRUE(ini.read(File("top=1\n[s]\nk=v\nempty=\n")));
  EXPECT_EQ(ini.get<std::string>("s.k"), std::string("v"));
  EXPECT_EQ(ini.get<std::string>("s.empty"), std::string(""));
  EXPECT_EQ(ini.get<std::string>("top"), std::string("1"));
  EXPECT_FALSE(ini.get<std::string>("s.missing"));
  EXPECT_FALSE(ini.get<std::string>("t.k"));

  EXPECT_TRUE(ini.exist("s.k"));
  EXPECT_TRUE(ini.exist("s.empty"));
  EXPECT_FALSE(ini.exist("s.missing"));
  EXPECT_FALSE(ini.exist("top"));  // no '.'
  EXPECT_FALSE(ini.exist("s"));
  EXPECT_FALSE(ini.exist("t.k"));
}

TEST_F(IniFileTest, PutWriteReadRoundTrip) {
  IniFile out;
  out.put("tallyd.sendmail-enabled", 42);
  out.put("tallyd.sendmail-enabled", -3);  // replaces
  out.put<std::string>("tallyd.sendmail-to", "ops@example.org");
  out.put<std::string>("other.key", "value");
  std::string const path = File("");
  ASSERT_TRUE(out.write(path));

  IniFile in;
  ASSERT_TRUE(in.read(path));
  EXPECT_EQ(in.get<std::string>("tallyd.sendmail-enabled"), std::string("-3"));
  EXPECT_EQ(in.get<std::string>("tallyd.sendmail-to"), std::string("ops@example.org"));
  EXPECT_EQ(in.get<std::string>("other.key"), std::string("value"));
}

TEST_F(IniFileTest, WriteFailures) {
  IniFile deep;
  deep.put<std::string>("a.b.c", "too deep for a section and a key");
  EXPECT_FALSE(deep.write(File("")));

  IniFile ini;
  ini.put("s.k", 1);
  EXPECT_FALSE(ini.write("/nonexistent-tallyd-dir/out.ini"));
}

}  // namespace
