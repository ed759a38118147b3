#include "server/client_list_json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

using tally_admin::AdminClient;
using json = nlohmann::ordered_json;

// The hand-written page must be byte for byte what the general serializer
// writes for the same document, whatever bytes the ids hold.
TEST(ClientListJsonTest, SameBytesAsTheGeneralSerializer) {
  char const* const ids[] = {"plain", "q\"b\\s/", "\n\t\b\f\r\x01\x1f\x7f", "\xc3\xa9\xe2\x9c\x93",
                             "a\xff\"b", "\xed\xa0\x80x", "\xf0\x9f\x98", "\xe2\x9cz\xe0\x80\xf4\x90", ""};
  std::vector<AdminClient> clients;
  json expected{{"clients", json::array()}};
  for (char const* id : ids) {
    AdminClient const client{id, std::string(id) + "app", "::1", 3, 1796591323, 253402300799, -2};
    clients.push_back(client);
    expected["clients"].push_back(json{{"unique_id", client.uniqueId},
                                       {"app_id", client.appId},
                                       {"address", client.address},
                                       {"logins", client.logins},
                                       {"first_seen", "2026-12-06T21:08:43Z"},
                                       {"last_seen", "9999-12-31T23:59:59Z"},
                                       {"idle_seconds", client.idleSeconds}});
  }
  std::string const next = "n\xff";
  expected["next"] = next;
  auto const dump = [](json const& document) {
    return document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  };
  EXPECT_EQ(tally_admin::ClientListJson(clients, &next), dump(expected));
  expected.erase("next");
  EXPECT_EQ(tally_admin::ClientListJson(clients, nullptr), dump(expected));
  EXPECT_EQ(tally_admin::ClientJson(clients[2]), dump(expected["clients"][2]));
}

}  // namespace
