#include "bench/request_frames.h"

#include <gtest/gtest.h>

#include "client/request_builder.h"
#include "transport/packet.h"
#include "transport/packet_cipher.h"

namespace tally_bench {
namespace {

using norla_server::kPacketHeaderSize;

std::string Decrypt(std::vector<unsigned char> const& frame) {
  unsigned char key[16], iv[16];
  norla::NorlaDecodeEncryptionKey(key, iv);
  std::size_t body = frame.size() - kPacketHeaderSize;
  std::vector<unsigned char> plain(body);
  EXPECT_TRUE(norla::NorlaAESExecute(frame.data() + kPacketHeaderSize, plain.data(), body, key,
                                     iv, false, false));
  return std::string(plain.begin(), std::find(plain.begin(), plain.end(), '\0'));
}

// A reply frame as the daemon sends it: `text` zero-padded to `body` bytes,
// encrypted, with its CRC.
std::vector<unsigned char> ReplyFrame(std::string const& text, std::size_t body) {
  unsigned char key[16], iv[16];
  norla::NorlaDecodeEncryptionKey(key, iv);
  std::vector<unsigned char> plain(body, 0);
  std::copy(text.begin(), text.end(), plain.begin());
  std::vector<unsigned char> frame(kPacketHeaderSize + body);
  norla::NorlaAESExecute(plain.data(), frame.data() + kPacketHeaderSize, body, key, iv, true,
                         false);
  norla_server::EncodePacketHeader(
      frame.data(), body, norla_server::PacketChecksum(frame.data() + kPacketHeaderSize, body));
  return frame;
}

constexpr char kReply[] =
    "tag123456 303\r\n\r\nVersion: 1.00\r\nHash: d41d8cd98f00b204e9800998ecf8427e\r\n"
    "CurrentClients: 5\r\n";

TEST(RequestFramesTest, FramesCarryTheRequestOfTheirIdAndCommand) {
  BenchOptions options;
  std::vector<std::string> ids = {"id-0", "id-1", "id-2"};
  RequestFrames frames(options, ids);
  struct Case {
    int command;
    long id;
    char const* firstLine;
    char const* uniqueLine;
  };
  for (Case c : {Case{norla::kNorlaPing, -1, "NORLA PING ", "UniqueID: \r\n"},
                 Case{norla::kNorlaLogin, 0, "NORLA LOGIN ", "UniqueID: id-0\r\n"},
                 Case{norla::kNorlaAlive, 2, "NORLA ALIVE ", "UniqueID: id-2\r\n"},
                 Case{norla::kNorlaExit, 1, "NORLA EXIT ", "UniqueID: id-1\r\n"}}) {
    std::vector<unsigned char> frame = frames.Frame(TPlannedRequest{c.command, c.id, 200});
    ASSERT_EQ(frame.size(), kPacketHeaderSize + options.bodySize) << c.firstLine;
    std::size_t length = 0;
    std::uint16_t checksum = 0;
    norla_server::DecodePacketHeader(frame.data(), length, checksum);
    EXPECT_EQ(length, options.bodySize);
    EXPECT_EQ(checksum, norla_server::PacketChecksum(frame.data() + kPacketHeaderSize, length));
    std::string text = Decrypt(frame);
    EXPECT_EQ(text.rfind(c.firstLine, 0), 0u) << text;
    EXPECT_NE(text.find(c.uniqueLine), std::string::npos) << text;
    EXPECT_NE(text.find("ProductID: korvia7mobile\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("AppID: tally-bench\r\n"), std::string::npos) << text;
  }
  EXPECT_TRUE(frames.Frame(TPlannedRequest{norla::kNorlaLogin, 3, 200}).empty());
}

TEST(RequestFramesTest, AFrameIsBuiltOncePerDay) {
  BenchOptions options;
  std::vector<std::string> ids = {"id-0", "id-1"};
  RequestFrames frames(options, ids);
  auto now = RequestFrames::Clock::from_time_t(1798675200);  // 2026-12-31 00:00:00 UTC
  frames.SetNow([&] { return now; });
  TPlannedRequest login{norla::kNorlaLogin, 0, 200};
  TPlannedRequest exit{norla::kNorlaExit, 1, 200};

  std::vector<unsigned char> first = frames.Frame(login);
  frames.Frame(exit);
  EXPECT_EQ(frames.Builds(), 2u);
  now += std::chrono::hours(23);
  EXPECT_EQ(frames.Frame(login), first);
  EXPECT_EQ(frames.Builds(), 2u);
  // Past midnight every frame is built again, so no Date goes stale.
  now += std::chrono::hours(2);
  frames.Frame(login);
  frames.Frame(exit);
  EXPECT_EQ(frames.Builds(), 4u);
}

TEST(RequestFramesTest, ReadsRepliesAndNamesWhatIsWrongWithBadOnes) {
  BenchOptions options;
  std::vector<std::string> ids;
  RequestFrames frames(options, ids);
  std::vector<unsigned char> good = ReplyFrame(kReply, 512);
  int code = 0;
  std::string kind, detail;
  ASSERT_TRUE(frames.ReadReply(good.data(), good.size(), 512, code, kind, detail)) << kind;
  EXPECT_EQ(code, 303);

  struct Case {
    char const* what;
    std::vector<unsigned char> frame;
    std::size_t sentBody;
    char const* kind;
  };
  std::vector<unsigned char> flipped = good;
  flipped[100] ^= 1;
  std::vector<unsigned char> truncated(good.begin(), good.end() - 16);
  Case const cases[] = {
      {"body byte changed", flipped, 512, "bad checksum"},
      {"shorter than the request", ReplyFrame(kReply, 496), 512, "bad frame"},
      {"fewer bytes than the header says", truncated, 512, "bad frame"},
      {"only part of a header", std::vector<unsigned char>(good.begin(), good.begin() + 3), 512,
       "bad frame"},
      {"text that is no reply", ReplyFrame("hello", 512), 512, "bad reply"},
  };
  for (Case const& c : cases) {
    kind.clear();
    EXPECT_FALSE(frames.ReadReply(c.frame.data(), c.frame.size(), c.sentBody, code, kind, detail))
        << c.what;
    EXPECT_EQ(kind, c.kind) << c.what;
  }
}

}  // namespace
}  // namespace tally_bench
