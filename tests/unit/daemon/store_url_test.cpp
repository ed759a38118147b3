// The `store` setting's grammar, read alike by the configuration and the service.

#include "base/store_url.h"

#include <gtest/gtest.h>

namespace {

using tally::ParseStoreUrl;
using tally::StoreUrl;

// An accepted setting as kind|HOST:PORT,...|database|master.
std::string Render(StoreUrl const& url) {
  std::string text = std::to_string(static_cast<int>(url.kind)) + "|";
  for (auto const& server : url.servers) text += server.host + ":" + std::to_string(server.port) + ",";
  return text + "|" + std::to_string(url.database) + "|" + url.masterName;
}

TEST(StoreUrl, AcceptedSettings) {
  std::pair<char const*, char const*> const cases[] = {
      {"", "0||0|"},
      {"memory", "0||0|"},
      {"redis://127.0.0.1:6379", "1|127.0.0.1:6379,|0|"},
      {"redis://cache.internal:6380/15", "1|cache.internal:6380,|15|"},
      {"redis://[::1]:6379/2", "1|::1:6379,|2|"},
      {"sentinel://10.0.0.1:26379,10.0.0.2:26379,[fe80::1]:26379/tally",
       "2|10.0.0.1:26379,10.0.0.2:26379,fe80::1:26379,|0|tally"},
  };
  for (auto const& [text, expected] : cases) {
    StoreUrl url;
    std::string why;
    EXPECT_TRUE(ParseStoreUrl(text, url, why)) << text << ": " << why;
    EXPECT_EQ(Render(url), expected) << text;
  }
}

TEST(StoreUrl, RefusedSettingsSayWhy) {
  std::pair<char const*, char const*> const cases[] = {
      {"Memory", "neither memory"},
      {"rediss://h:1", "neither memory"},
      {"redis://h", "'h' is not HOST:PORT"},
      {"redis://:6379", "is not HOST:PORT"},
      {"redis://h:0", "'0' is not a port"},
      {"redis://h:65536", "'65536' is not a port"},
      {"redis://h:63a", "'63a' is not a port"},
      {"redis://h:6379/16", "database must be a number from 0 to 15"},
      {"redis://h:6379/", "database must be"},
      {"redis://[::1:6379", "unclosed IPv6"},
      {"sentinel://h:26379", "master's name is missing"},
      {"sentinel://h:26379/", "master's name is missing"},
      {"sentinel://h:26379,/m", "'' is not HOST:PORT"},
      {"sentinel://h:26379/a/b", "'a/b' is not a master name"},
  };
  for (auto const& [text, reason] : cases) {
    StoreUrl url;
    std::string why;
    EXPECT_FALSE(ParseStoreUrl(text, url, why)) << text;
    EXPECT_NE(why.find(reason), std::string::npos) << text << ": " << why;
  }
}

}  // namespace
