#include "bench/request_frames.h"

#include <algorithm>

#include "client/reply.h"
#include "client/request_builder.h"
#include "client/tally_client.h"
#include "transport/packet.h"
#include "transport/packet_cipher.h"

namespace tally_bench {
namespace {

constexpr std::size_t kCommands = 4;

long UtcDay(RequestFrames::Clock::time_point when) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::hours>(when.time_since_epoch()).count() / 24);
}

}  // namespace

RequestFrames::RequestFrames(BenchOptions const& options, std::vector<std::string> const& uniqueIds)
    : options_(options),
      uniqueIds_(uniqueIds),
      entries_((uniqueIds.size() + 1) * kCommands),
      now_([] { return Clock::now(); }) {}

std::vector<unsigned char> const& RequestFrames::Frame(TPlannedRequest const& request) {
  if (request.command < 0 || request.command >= static_cast<int>(kCommands) ||
      request.id >= static_cast<long>(uniqueIds_.size())) {
    return empty_;
  }
  Entry& entry = entries_[static_cast<std::size_t>(request.id + 1) * kCommands + request.command];
  // A frame is rebuilt when the UTC day changes, so its Date never goes stale.
  if (entry.day != UtcDay(now_()) && !Build(request, entry)) return empty_;
  return entry.frame;
}

bool RequestFrames::Build(TPlannedRequest const& request, Entry& entry) {
  static std::string const noId;
  std::string const& uniqueId = request.id >= 0 ? uniqueIds_[request.id] : noId;
  std::string text;
  // Read the day first: a frame built across midnight is rebuilt next time.
  long day = UtcDay(now_());
  if (!norla::NorlaCreatePacket(request.command, options_.product.c_str(), uniqueId.c_str(),
                                options_.appId.c_str(), text)) {
    return false;
  }
  std::size_t body = (std::max(options_.bodySize, text.size()) + 15) / 16 * 16;
  if (body > norla_server::kPacketMaxBody) return false;
  std::vector<unsigned char> plain(body, 0);
  std::copy(text.begin(), text.end(), plain.begin());
  std::vector<unsigned char> cipher;
  std::uint16_t checksum = 0;
  if (!tally::EncryptRequestBody(plain, text.size(), packetKey_.key, packetKey_.iv, cipher,
                                 checksum))
    return false;
  entry.frame.assign(norla_server::kPacketHeaderSize, 0);
  entry.frame.insert(entry.frame.end(), cipher.begin(), cipher.end());
  norla_server::EncodePacketHeader(entry.frame.data(), cipher.size(), checksum);
  entry.day = day;
  ++builds_;
  return true;
}

bool RequestFrames::ReadReply(unsigned char const* frame, std::size_t size, std::size_t sentBody,
                              int& code, std::string& kind, std::string& detail) const {
  std::size_t length = 0;
  std::uint16_t checksum = 0;
  if (size < norla_server::kPacketHeaderSize) {
    kind = "bad frame";
    detail = "short header";
    return false;
  }
  norla_server::DecodePacketHeader(frame, length, checksum);
  if (length != sentBody || size != norla_server::kPacketHeaderSize + length) {
    kind = "bad frame";
    detail = "reply body of " + std::to_string(size - norla_server::kPacketHeaderSize) +
             " bytes, header says " + std::to_string(length) + ", request had " +
             std::to_string(sentBody);
    return false;
  }
  unsigned char const* body = frame + norla_server::kPacketHeaderSize;
  if (norla_server::PacketChecksum(body, length) != checksum) {
    kind = "bad checksum";
    return false;
  }
  // The daemon encrypts whole blocks; a tail shorter than a block is not text.
  std::size_t whole = length / 16 * 16;
  std::vector<unsigned char> plain(whole, 0);
  if (whole > 0 && !norla::NorlaAESExecute(body, plain.data(), whole, packetKey_.key, packetKey_.iv,
                                           false, false)) {
    kind = "decrypt";
    return false;
  }
  std::string text(plain.begin(), std::find(plain.begin(), plain.end(), '\0'));
  tally::TReply reply;
  if (!tally::ParseReply(text, reply)) {
    kind = "bad reply";
    detail = text.substr(0, 40);
    return false;
  }
  code = reply.code;
  return true;
}

}  // namespace tally_bench
