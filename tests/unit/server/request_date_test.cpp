#include "server/request_date.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

// The reader stands in for sscanf on bytes from the network: it must agree
// with it on every text, however odd, not only on dates.
TEST(RequestDate, ReadsAsSscanfDoes) {
  std::string const alphabet("0123456789//// +-\t\vx\0", 22);
  std::mt19937 random(11);
  std::vector<std::string> texts = {"2026/12/07", " 2026/ 1/ 7x", "+202/-1/+5", "20261/1/1",
                                    "2026 /1/1", "-/1/1", "2026/1/", std::string("20\0/1/1", 7)};
  for (int i = 0; i < 200000; ++i) {
    std::string text(random() % 14, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    texts.push_back(text);
  }
  for (std::string const& text : texts) {
    int y = 0, m = 0, d = 0, year = 0, month = 0, day = 0;
    bool const expected = std::sscanf(text.c_str(), "%04d/%02d/%02d", &y, &m, &d) == 3;
    ASSERT_EQ(norla_server::ReadDateText(text, year, month, day), expected) << '"' << text << '"';
    if (expected) {
      ASSERT_EQ(std::tie(year, month, day), std::tie(y, m, d)) << '"' << text << '"';
    }
  }
}

}  // namespace
