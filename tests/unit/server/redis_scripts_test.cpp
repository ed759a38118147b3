// Decoding the scripts' answers: what the handler logs and replies comes from
// here, and an answer of another shape must fail rather than be misread.

#include "server/redis_scripts.h"

#include <gtest/gtest.h>

#include <deque>

namespace {

using namespace norla_server;

// Builds reply trees as hiredis hands them over; owns every node.
class Replies {
 public:
  redisReply* Text(std::string text) {
    texts_.push_back(std::move(text));
    redisReply* r = Node(REDIS_REPLY_STRING);
    r->str = texts_.back().data();
    r->len = texts_.back().size();
    return r;
  }
  redisReply* Number(long long value) {
    redisReply* r = Node(REDIS_REPLY_INTEGER);
    r->integer = value;
    return r;
  }
  redisReply* Array(std::vector<redisReply*> elements) {
    arrays_.push_back(std::move(elements));
    redisReply* r = Node(REDIS_REPLY_ARRAY);
    r->element = arrays_.back().data();
    r->elements = arrays_.back().size();
    return r;
  }

 private:
  redisReply* Node(int type) {
    nodes_.push_back(redisReply{});
    nodes_.back().type = type;
    return &nodes_.back();
  }
  std::deque<redisReply> nodes_;
  std::deque<std::string> texts_;
  std::deque<std::vector<redisReply*>> arrays_;
};

TEST(RedisScriptsTest, ChangesDecodeToOutcomesAndOtherShapesFail) {
  Replies r;
  struct Case {
    redisReply* reply;
    bool decoded;
    TableResult result = TableResult::kNotFound;
    std::size_t count = 0;
    TableEvent line = TableEvent::kNone, registerLine = TableEvent::kNone;
    char const* peer = "";
  };
  Case const cases[] = {
      {r.Array({r.Text("created"), r.Number(3), r.Text("10.0.0.7"), r.Text("app"), r.Text("full")}),
       true, TableResult::kCreated, 3, TableEvent::kConnect, TableEvent::kRegisterFull, "10.0.0.7"},
      {r.Array({r.Text("removed"), r.Number(2), r.Text("10.0.0.8"), r.Text("app"), r.Text("room")}),
       true, TableResult::kRemoved, 2, TableEvent::kDisconnect, TableEvent::kRegisterRoom,
       "10.0.0.8"},
      {r.Array({r.Text("up"), r.Number(5), r.Text(""), r.Text(""), r.Text("")}), true,
       TableResult::kCountedUp, 5, TableEvent::kNone, TableEvent::kNone, ""},
      {r.Array({r.Text("full"), r.Number(9), r.Text(""), r.Text(""), r.Text("")}), true,
       TableResult::kFull, 9, TableEvent::kNone, TableEvent::kNone, ""},
      {r.Array({r.Text("gone"), r.Number(1), r.Text(""), r.Text(""), r.Text("")}), false},
      {r.Array({r.Text("created"), r.Number(1)}), false},
      {r.Number(1), false},
      {nullptr, false},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(&c - cases);
    StoreReply change;
    ASSERT_EQ(DecodeChange(c.reply, change), c.decoded);
    if (!c.decoded) continue;
    EXPECT_EQ(change.status, StoreStatus::kDone);
    EXPECT_EQ(change.outcome.result, c.result);
    EXPECT_EQ(change.outcome.count, c.count);
    EXPECT_EQ(change.outcome.line.event, c.line);
    EXPECT_EQ(change.outcome.line.peer, c.peer);
    EXPECT_EQ(change.outcome.registerLine, c.registerLine);
  }
}

TEST(RedisScriptsTest, SweepsAndPagesDecodePerEntry) {
  Replies r;
  std::vector<TableLine> lines;
  ASSERT_TRUE(DecodeSweep(r.Array({r.Text("u1"), r.Text("p1"), r.Number(4), r.Text(""),
                                   r.Text("u2"), r.Text("p2"), r.Number(3), r.Text("room")}),
                          lines));
  ASSERT_EQ(lines.size(), 3u);  // the room line follows the removal that made it
  EXPECT_EQ(lines[1].uniqueId, "u2");
  EXPECT_EQ(lines[1].count, 3u);
  EXPECT_EQ(lines[2].event, TableEvent::kRegisterRoom);
  EXPECT_FALSE(DecodeSweep(r.Array({r.Text("u1"), r.Text("p1")}), lines));

  std::vector<ClientEntry> page;
  // Server time 1000; last seen at 940, so idle 60 s on this process's clock too.
  ASSERT_TRUE(DecodePage(r.Array({r.Number(1000), r.Text("u1"), r.Text("app"), r.Text("p"),
                                  r.Text("900"), r.Text("940"), r.Text("2")}),
                         5000, page));
  ASSERT_EQ(page.size(), 1u);
  EXPECT_EQ(page[0].idleSeconds, 60);
  EXPECT_EQ(page[0].client.lastActive, 4940);
  EXPECT_EQ(page[0].client.loginCount, 2u);
  EXPECT_EQ(page[0].client.firstSeen, 900);
  EXPECT_FALSE(DecodePage(r.Array({r.Number(1000), r.Text("u1")}), 5000, page));
}

}  // namespace
