#include <gtest/gtest.h>

#include "tests/unit/server/handler_fixture.h"

namespace {

using Strings = std::vector<std::string>;

class ClientTableTest : public server_test::HandlerTest {};

TEST_F(ClientTableTest, LoginCountsAndExitLifecycle) {
  struct Step {
    char const* command;
    int code;
    Strings events;
    Strings lines;
    std::uint32_t loginCount;  // 0: no entry
  };
  Step const steps[] = {
      {"LOGIN", 200, {"Login u1 a1"}, {"Connect : 192.0.2.1, Current clients : 1"}, 1},
      {"LOGIN", 200, {"CountUp u1 a1"}, {}, 2},
      {"EXIT", 200, {"CountDown u1 a1"}, {}, 1},
      {"EXIT", 200, {"Logout u1 a1"}, {"Disconnect : 192.0.2.1, Current clients : 0"}, 0},
      {"EXIT", 303, {}, {}, 0},
  };
  for (Step const& step : steps) {
    EXPECT_EQ(Send(step.command, "u1", "a1"), step.code) << step.command;
    EXPECT_EQ(events_.Take(), step.events) << step.command;
    EXPECT_EQ(TakeLines(), step.lines) << step.command;
    auto clients = handler_->Clients();
    EXPECT_EQ(clients.count("u1") ? clients["u1"].loginCount : 0u, step.loginCount);
  }
}

TEST_F(ClientTableTest, AliveCreatesUnknownClientsAndRenewsKnownOnes) {
  EXPECT_EQ(Send("ALIVE", "u1", "a1"), 200);
  EXPECT_EQ(events_.Take(), Strings{"Login u1 a1"});
  EXPECT_EQ(TakeLines(), Strings{"Connect : 192.0.2.1, Current clients : 1"});
  now_ += 100;
  EXPECT_EQ(Send("ALIVE", "u1", "a1"), 200);
  EXPECT_EQ(events_.Take(), Strings{"Alive u1 a1"});
  EXPECT_TRUE(TakeLines().empty());
  auto entry = handler_->Clients().at("u1");
  EXPECT_EQ(entry.loginCount, 1u);
  EXPECT_EQ(entry.lastSeen, server_test::kNow + 100);
}

TEST_F(ClientTableTest, SecondAppOnOneUniqueIdKeepsTheFirstRecord) {
  EXPECT_EQ(Send("LOGIN", "u1", "first", "192.0.2.1"), 200);
  EXPECT_EQ(Send("LOGIN", "u1", "second", "192.0.2.2"), 200);
  EXPECT_EQ(events_.Take(), (Strings{"Login u1 first", "CountUp u1 second"}));
  auto clients = handler_->Clients();
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients["u1"].appId, "first");
  EXPECT_EQ(clients["u1"].peer, "192.0.2.1");
  EXPECT_EQ(clients["u1"].loginCount, 2u);
  // The notification carries the AppID of the request, not of the entry.
  EXPECT_EQ(Send("EXIT", "u1", "third"), 200);
  EXPECT_EQ(events_.Take(), Strings{"CountDown u1 third"});
}

TEST_F(ClientTableTest, SweepDropsOnlyClientsIdleLongerThanTheLimit) {
  Send("LOGIN", "u1", "a");
  now_ += 300;
  handler_->UpdateClients();
  EXPECT_EQ(handler_->ClientCount(), 1u) << "exactly the limit stays";
  now_ += 1;
  handler_->UpdateClients();
  EXPECT_EQ(handler_->ClientCount(), 0u);
  EXPECT_EQ(events_.Take(), (Strings{"Login u1 a", "Killed u1"}));
  EXPECT_EQ(TakeLines(), (Strings{"Connect : 192.0.2.1, Current clients : 1",
                                  "Disconnect(Timeout) : 192.0.2.1, Current clients : 0"}));
}

TEST_F(ClientTableTest, SweepDropsSeveralInKeyOrderWithCountAfterEach) {
  Send("LOGIN", "c", "a", "192.0.2.3");
  Send("LOGIN", "a", "a", "192.0.2.1");
  Send("LOGIN", "a", "a", "192.0.2.1");  // a login count of 2 does not protect it
  Send("LOGIN", "b", "a", "192.0.2.2");
  now_ += 200;
  Send("ALIVE", "b", "a", "192.0.2.2");
  Send("LOGIN", "d", "a", "192.0.2.4");
  events_.Take();
  TakeLines();
  now_ += 101;
  handler_->UpdateClients();
  EXPECT_EQ(events_.Take(), (Strings{"Killed a", "Killed c"}));
  EXPECT_EQ(TakeLines(), (Strings{"Disconnect(Timeout) : 192.0.2.1, Current clients : 3",
                                  "Disconnect(Timeout) : 192.0.2.3, Current clients : 2"}));
  auto clients = handler_->Clients();
  EXPECT_EQ(clients.size(), 2u);
  EXPECT_TRUE(clients.count("b") && clients.count("d"));
}

TEST_F(ClientTableTest, ExitDoesNotRenewLastSeen) {
  Send("LOGIN", "u1", "a");
  Send("LOGIN", "u1", "a");
  now_ += 250;
  EXPECT_EQ(Send("EXIT", "u1", "a"), 200);
  now_ += 51;
  handler_->UpdateClients();
  EXPECT_EQ(handler_->ClientCount(), 0u);
}

TEST_F(ClientTableTest, TimeoutZeroDropsAfterOneSecond) {
  handler_->SetTimeoutMinutes(0);
  Send("LOGIN", "u1", "a");
  handler_->UpdateClients();
  EXPECT_EQ(handler_->ClientCount(), 1u);
  now_ += 1;
  handler_->UpdateClients();
  EXPECT_EQ(handler_->ClientCount(), 0u);
}

TEST_F(ClientTableTest, RefusedRequestsAndUnknownCommandsLeaveTheTable) {
  Send("LOGIN", "u1", "a");
  events_.Take();
  std::string text = server_test::RequestText("LOGIN", "P9", "u2", "a");
  EXPECT_EQ(handler_->ParsePacket(text, "192.0.2.1"), 601);
  EXPECT_EQ(Send("JUMP", "u1", "a"), 501);
  EXPECT_EQ(handler_->ClientCount(), 1u);
  EXPECT_EQ(handler_->Clients().at("u1").loginCount, 1u);
  EXPECT_TRUE(events_.Take().empty());
}

TEST_F(ClientTableTest, WithoutEventHandlerCommandsBehaveTheSame) {
  handler_->SetEventHandler(nullptr);
  EXPECT_EQ(Send("LOGIN", "u1", "a"), 200);
  EXPECT_EQ(Send("LOGIN", "u1", "a"), 200);
  EXPECT_EQ(Send("EXIT", "u1", "a"), 200);
  now_ += 301;
  handler_->UpdateClients();
  EXPECT_EQ(handler_->ClientCount(), 0u);
  EXPECT_TRUE(events_.Take().empty());
  EXPECT_EQ(TakeLines().size(), 2u);
}

TEST_F(ClientTableTest, DestructionLogsServiceEndWithRemainingClients) {
  Send("LOGIN", "u1", "a");
  Send("LOGIN", "u2", "a");
  handler_.reset();
  EXPECT_EQ(Lines().back(), "ServiceEnd, Current clients : 2");
  EXPECT_EQ(events_.Take().size(), 2u) << "no notification for remaining clients";
}

TEST(ClientTableConstructionTest, ProductListIsSplitAtSlashes) {
  server_test::ScopedLogCapture capture;
  EXPECT_THROW(norla_server::KReceivePacketHandler(nullptr), std::invalid_argument);
  EXPECT_EQ(norla_server::KReceivePacketHandler("/A//B c/").Products(), (Strings{"A", "B c"}));
  norla_server::KReceivePacketHandler none("");
  EXPECT_TRUE(none.Products().empty());
  std::string ping = "NORLA PING TAG\r\n";
  EXPECT_EQ(none.ParsePacket(ping, "192.0.2.1"), 200);
  std::string login = server_test::RequestText("LOGIN", "", "u", "a", "");
  EXPECT_EQ(none.ParsePacket(login, "192.0.2.1"), 406);
  login = server_test::RequestText("LOGIN", "P", "u", "a", "");
  EXPECT_EQ(none.ParsePacket(login, "192.0.2.1"), 601);
}

}  // namespace
