#include "daemon/data_dir.h"

#include <gtest/gtest.h>

namespace {

TEST(DataDir, NamesAndPath) {
  EXPECT_EQ(DefaultDataDirName(), "tallyd");
  EXPECT_EQ(ConfigFileName(), "tallyd.conf");

  g_data_dir_specified.clear();
  SettleDataDir();
  EXPECT_EQ(ConfigFilePath(g_data_dir), "/etc/opt/tallyd/tallyd.conf");

  g_data_dir_specified = "site2";
  SettleDataDir();
  EXPECT_EQ(ConfigFilePath(g_data_dir), "/etc/opt/site2/tallyd.conf");
  g_data_dir_specified.clear();
}

}  // namespace
