#include <gtest/gtest.h>

#include "tests/unit/server/server_test_support.h"

namespace {

using server_test::Strings;

class ClientTableTest : public server_test::HandlerTest {
 protected:
  std::uint32_t LoginCount(std::string const& unique) {
    auto clients = handler_->Clients();
    return clients.count(unique) ? clients[unique].loginCount : 0;
  }
};

TEST_F(ClientTableTest, LoginLoginExitExitExit) {
  struct Step {
    char const* command;
    int code;
    Strings events, lines;
    std::uint32_t logins;
  };
  Step const steps[] = {
      {"LOGIN", 200, {"Login u1 a1"}, {"Connect : 192.0.2.1, Current clients : 1"}, 1},
      {"LOGIN", 200, {"CountUp u1 a1"}, {}, 2},
      {"EXIT", 200, {"CountDown u1 a1"}, {}, 1},
      {"EXIT", 200, {"Logout u1 a1"}, {"Disconnect : 192.0.2.1, Current clients : 0"}, 0},
      {"EXIT", 303, {}, {}, 0},
  };
  for (Step const& step : steps) {
    EXPECT_EQ(Send(step.command, "u1", "a1"), step.code);
    EXPECT_EQ(events_.Take(), step.events);
    EXPECT_EQ(TakeLines(), step.lines);
    EXPECT_EQ(LoginCount("u1"), step.logins);
  }
}

TEST_F(ClientTableTest, AliveAndSecondAppKeepTheFirstRecord) {
  EXPECT_EQ(Send("ALIVE", "u1", "first", "192.0.2.1"), 200);
  now_ += 10;
  EXPECT_EQ(Send("LOGIN", "u1", "second", "192.0.2.2"), 200);
  now_ += 10;
  EXPECT_EQ(Send("ALIVE", "u1", "third", "192.0.2.3"), 200);
  EXPECT_EQ(events_.Take(), (Strings{"Login u1 first", "CountUp u1 second", "Alive u1 third"}));
  EXPECT_EQ(TakeLines(), Strings{"Connect : 192.0.2.1, Current clients : 1"});
  auto entry = handler_->Clients().at("u1");
  EXPECT_EQ(entry.appId, "first");
  EXPECT_EQ(entry.peer, "192.0.2.1");
  EXPECT_EQ(entry.loginCount, 2u);
  EXPECT_EQ(entry.lastSeen, server_test::kNow + 20);
  EXPECT_EQ(handler_->ClientCount(), 1u);
}

TEST_F(ClientTableTest, SweepDropsIdleClientsInKeyOrder) {
  Send("LOGIN", "c", "a", "192.0.2.3");
  Send("LOGIN", "a", "a", "192.0.2.1");
  Send("LOGIN", "a", "a", "192.0.2.1");  // two logins do not protect it
  Send("LOGIN", "b", "a", "192.0.2.2");
  Send("LOGIN", "e", "a", "192.0.2.5");
  Send("LOGIN", "e", "a", "192.0.2.5");
  now_ += 250;
  Send("EXIT", "e", "a");  // does not renew
  now_ += 50;
  Send("ALIVE", "b", "a");
  handler_->UpdateClients();
  EXPECT_EQ(handler_->ClientCount(), 4u) << "300 s idle stays";
  events_.Take();
  TakeLines();
  now_ += 1;
  handler_->UpdateClients();
  EXPECT_EQ(events_.Take(), (Strings{"Killed a", "Killed c", "Killed e"}));
  EXPECT_EQ(TakeLines(), (Strings{"Disconnect(Timeout) : 192.0.2.1, Current clients : 3",
                                  "Disconnect(Timeout) : 192.0.2.3, Current clients : 2",
                                  "Disconnect(Timeout) : 192.0.2.5, Current clients : 1"}));
  EXPECT_EQ(LoginCount("b"), 1u);
}

TEST_F(ClientTableTest, NoHandlerRefusalsAndServiceEnd) {
  handler_->SetEventHandler(nullptr);
  handler_->SetTimeoutMinutes(0);
  EXPECT_EQ(Send("LOGIN", "u1", "a"), 200);
  EXPECT_EQ(Send("JUMP", "u1", "a"), 501);
  std::string text = server_test::RequestText("LOGIN", "u2", "a", "", "P9");
  EXPECT_EQ(handler_->ParsePacket(text, "192.0.2.1"), 601);
  handler_->UpdateClients();
  EXPECT_EQ(handler_->ClientCount(), 1u);
  EXPECT_EQ(LoginCount("u1"), 1u);
  now_ += 1;
  handler_->UpdateClients();
  Send("LOGIN", "u3", "a");
  handler_.reset();
  EXPECT_TRUE(events_.Take().empty());
  EXPECT_EQ(Lines().back(), "ServiceEnd, Current clients : 1");
}

TEST(ClientTableConstructionTest, ProductList) {
  server_test::ScopedLog log;
  EXPECT_THROW(norla_server::KReceivePacketHandler(nullptr), std::invalid_argument);
  EXPECT_EQ(norla_server::KReceivePacketHandler("/A//B c/").Products(), (Strings{"A", "B c"}));
  norla_server::KReceivePacketHandler none("");
  std::string ping = "NORLA PING TAG\r\n", login = server_test::RequestText("LOGIN", "u", "a");
  EXPECT_EQ(none.ParsePacket(ping, "192.0.2.1"), 200);
  EXPECT_EQ(none.ParsePacket(login, "192.0.2.1"), 601);
}

}  // namespace
