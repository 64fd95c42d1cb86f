#include "wire_format.h"

#include <string>
#include <tuple>
#include <vector>

#include "gtest/gtest.h"

namespace ipc_core {
namespace wire {
namespace {

using Result = FrameDecoder::Result;

std::vector<Frame> SampleFrames() {
  std::vector<Frame> frames(6);
  frames[0].type = FrameType::kHello;
  frames[0].version = kProtocolVersion;
  frames[0].name = "tool";
  frames[0].secret = "00ff";
  frames[1].type = FrameType::kWelcome;
  frames[1].version = kProtocolVersion;
  frames[1].app_id = 66666;
  frames[1].protocol_tag = -56805;
  frames[1].connection_id = 3;
  frames[1].name = "quillo_service_host";
  frames[2].type = FrameType::kRefused;
  frames[2].code = 1009;
  frames[2].text = "unknown secret";
  frames[3].type = FrameType::kRequest;
  frames[3].id = 0x0102030405060708ull;
  frames[3].method = "snipping_tool.snipping.shot";
  frames[3].text = "{\"image_save_path\":\"\\u00e9\"}";
  frames[4].type = FrameType::kReply;
  frames[4].id = 1;
  frames[5].type = FrameType::kErrorReply;
  frames[5].id = 2;
  frames[5].code = -7;
  frames[5].text = "no";
  return frames;
}

auto Fields(const Frame& f) {
  return std::tie(f.type, f.version, f.app_id, f.protocol_tag, f.connection_id, f.code, f.id,
                  f.name, f.secret, f.method, f.text);
}

std::string Header(FrameType type, uint32_t length) {
  std::string h = {'\x49', '\x51', static_cast<char>(type), '\0'};
  for (int i = 0; i < 4; ++i)
    h.push_back(static_cast<char>(length >> (8 * i)));
  return h;
}

TEST(WireFormatTest, EveryFrameSurvivesARoundTripWhateverTheChunking) {
  const std::vector<Frame> frames = SampleFrames();
  std::string stream;
  for (const Frame& f : frames)
    AppendFrame(&stream, f);
  // A frame split anywhere, even inside the header, is reassembled.
  for (size_t chunk = 1; chunk <= stream.size(); ++chunk) {
    FrameDecoder decoder;
    std::vector<Frame> decoded;
    for (size_t at = 0; at < stream.size(); at += chunk) {
      decoder.Append(stream.data() + at, std::min(chunk, stream.size() - at));
      Frame f;
      Result r;
      while ((r = decoder.Next(&f)) == Result::kFrame)
        decoded.push_back(f);
      ASSERT_EQ(Result::kNeedMore, r) << decoder.error();
    }
    ASSERT_EQ(frames.size(), decoded.size()) << "chunk " << chunk;
    for (size_t i = 0; i < decoded.size(); ++i)
      EXPECT_EQ(Fields(frames[i]), Fields(decoded[i]));
    EXPECT_EQ(0u, decoder.buffered());
  }
}

TEST(WireFormatTest, HeaderIsLittleEndianWithTheDocumentedLayout) {
  std::string bytes;
  AppendReply(&bytes, 0x11, "ab");
  // magic, type 5, flags 0, body length 8 (id) + 4 (text length) + 2.
  EXPECT_EQ(Header(FrameType::kReply, 14), bytes.substr(0, 8));
  EXPECT_EQ(std::string("\x11\0\0\0\0\0\0\0\x02\0\0\0ab", 14), bytes.substr(8));
}

TEST(WireFormatTest, LargestBodyIsAccepted) {
  std::string bytes;
  std::string payload(kMaxBodyLength - 8 - 4 - 4 - 1, 'x');
  AppendRequest(&bytes, 1, "m", payload);
  ASSERT_EQ(kHeaderSize + kMaxBodyLength, bytes.size());
  FrameDecoder decoder;
  decoder.Append(bytes.data(), bytes.size());
  Frame f;
  ASSERT_EQ(Result::kFrame, decoder.Next(&f)) << decoder.error();
  EXPECT_EQ(payload.size(), f.text.size());
}

// Each case is refused from the bytes given, without waiting for more; the
// stream has then lost its framing, and valid bytes after it are no frame.
TEST(WireFormatTest, MalformedFramesAreRefusedForGood) {
  std::string good;
  AppendRequest(&good, 1, "svc.m", "p");
  std::string nul_payload;
  AppendRequest(&nul_payload, 1, "svc.m", std::string("a\0b", 3));
  std::string empty_method;
  AppendRequest(&empty_method, 1, "", "p");
  std::string long_method;
  AppendRequest(&long_method, 1, std::string(kMaxMethodLength + 1, 'm'), "p");
  std::string long_secret;
  AppendHello(&long_secret, 1, "t", std::string(kMaxNameLength + 1, 's'));
  std::string trailing = good + "x";
  trailing[4] = static_cast<char>(trailing[4] + 1);  // body claims the extra byte
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"garbage at the first byte", "G"},
      {"garbage at the second byte", "\x49G"},
      {"unknown type", Header(FrameType(0), 0)},
      {"unknown type 7", Header(FrameType(7), 0)},
      {"flags", std::string("\x49\x51\x05\x01\0\0\0\0", 8)},
      {"bad magic in a full header", std::string("\x49\x52\x05\0\0\0\0\0", 8)},
      {"length over the limit", Header(FrameType::kRequest, kMaxBodyLength + 1)},
      {"trailing bytes", trailing},
      {"body too short for its fields", Header(FrameType::kReply, 4) + "abcd"},
      {"number cut by the end of the body", Header(FrameType::kRefused, 3) + "abc"},
      {"text longer than the body",
       Header(FrameType::kReply, 12) + std::string("\1\0\0\0\0\0\0\0\xff\xff\xff\x7f", 12)},
      {"NUL inside a text", nul_payload},
      {"empty method", empty_method},
      {"method too long", long_method},
      {"secret too long", long_secret},
  };
  for (const auto& c : cases) {
    FrameDecoder decoder;
    decoder.Append(c.bytes.data(), c.bytes.size());
    Frame f;
    EXPECT_EQ(Result::kError, decoder.Next(&f)) << c.what;
    EXPECT_FALSE(decoder.error().empty()) << c.what;
    decoder.Append(good.data(), good.size());
    EXPECT_EQ(Result::kError, decoder.Next(&f)) << c.what;
    EXPECT_EQ(0u, decoder.buffered()) << c.what;
  }
}

}  // namespace
}  // namespace wire
}  // namespace ipc_core
