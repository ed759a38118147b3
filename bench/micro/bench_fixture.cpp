#include "bench/micro/bench_fixture.h"

#include <malloc.h>

#include <cstdio>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "server/event_log.h"
#include "server/norla_server.h"
#include "transport/packet.h"

namespace tally_micro {
namespace {

void NoSink(int, char const*, ...) {}

}  // namespace

void QuietEventLog(bool background) {
  norla_server::sg_syslogFunc = &NoSink;
  if (!background) NorlaLogFlush(60000);  // writes the queue out and ends the writer
}

std::vector<unsigned char> RequestBody(int command, std::string const& uniqueId,
                                       std::string const& appId) {
  std::string text;
  norla::NorlaCreatePacket(command, kProduct, uniqueId.c_str(), appId.c_str(), text);
  std::vector<unsigned char> frame = tally::EncodeRequestFrame(text, 512);
  return std::vector<unsigned char>(frame.begin() + norla_server::kPacketHeaderSize, frame.end());
}

int ReplyCode(std::vector<unsigned char> const& body) {
  std::vector<unsigned char> frame(norla_server::kPacketHeaderSize);
  norla_server::EncodePacketHeader(frame.data(), body.size(),
                                   norla_server::PacketChecksum(body.data(), body.size()));
  frame.insert(frame.end(), body.begin(), body.end());
  tally::ExchangeResult result = tally::DecodeReplyFrame(frame, body.size());
  return result.error == tally::ExchangeError::kNone ? result.reply.code : -1;
}

std::unique_ptr<norla_server::KReceivePacketHandler> MakeHandler(std::time_t const& now) {
  auto handler = std::make_unique<norla_server::KReceivePacketHandler>(kProduct);
  handler->SetClock([&now] { return now; });
  handler->SetMonotonicClock([&now] { return static_cast<std::int64_t>(now); });
  handler->DisarmServiceEnd();
  return handler;
}

std::string ShortUniqueId(std::size_t i) {
  char id[16];
  std::snprintf(id, sizeof id, "u%07zu", i);
  return id;
}

void FillTable(norla_server::KReceivePacketHandler& handler, std::size_t first, std::size_t count,
               std::string const& appId, std::string const& peer) {
  norla_server::Request request;
  request.word1 = "NORLA";
  request.command = norla_server::Command::kLogin;
  request.productId = kProduct;
  request.appId = appId;
  request.peer = peer;
  for (std::size_t i = first; i < first + count; ++i) {
    request.uniqueId = ShortUniqueId(i);
    handler.ProcessCommand(request);
  }
}

std::size_t HeapInUse() {
  NorlaLogFlush(60000);  // queued lines are not the table's
  return mallinfo2().uordblks;
}

}  // namespace tally_micro
