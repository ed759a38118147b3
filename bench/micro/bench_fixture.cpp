#include "bench/micro/bench_fixture.h"

#include <malloc.h>

#include <cstdio>

#include "client/request_builder.h"
#include "client/tally_client.h"
#include "server/event_log.h"
#include "server/event_log_writer.h"
#include "transport/packet.h"

namespace tally_micro {
namespace {

void NoSink(int, char const*, ...) {}

}  // namespace

void QuietEventLog(bool background) {
  static bool running = false;
  norla_server::sg_syslogFunc = &NoSink;
  if (background && !running) {
    norla_server::EventLogWriterOptions options;
    options.lookup = [](std::string const&) { return std::string(); };
    running = norla_server::EventLogWriter::AcquireShared(options);
  } else if (!background && running) {
    norla_server::EventLogWriter::ReleaseShared();  // drains the queue first
    running = false;
  }
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

std::size_t HeapInUse() { return mallinfo2().uordblks; }

}  // namespace tally_micro
