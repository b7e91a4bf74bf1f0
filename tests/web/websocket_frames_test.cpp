#include "web/websocket_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_frames.h"

namespace {

using Frames = std::vector<std::string>;

class FrameReaderTest : public ::testing::Test {
 protected:
  // Reads `bytes` into whole frames, "opcode fin payload" each, or "bad" where the
  // reader refused the stream.
  void Read(std::string_view bytes) {
    std::string scratch;
    for (;;) {
      web::FrameChunk chunk;
      const web::FrameReader::Result result = reader_.Next(bytes, chunk, scratch);
      if (result == web::FrameReader::Result::NeedMore) {
        EXPECT_TRUE(bytes.empty());
        return;
      }
      if (result == web::FrameReader::Result::Bad) {
        frames_.push_back("bad");
        return;
      }
      EXPECT_EQ(chunk.offset, payload_.size());
      payload_.append(chunk.data);
      if (chunk.offset + chunk.data.size() == chunk.payloadLength) {
        frames_.push_back(std::to_string(chunk.opcode) + (chunk.fin ? " fin " : " ") + payload_);
        payload_.clear();
      }
    }
  }

  // Hands the reader's state to a new reader, as an upgrade does.
  bool Carry() {
    base::FieldWriter out;
    reader_.SaveState(out);
    reader_ = web::FrameReader();
    base::FieldReader in(out.Data());
    return reader_.RestoreState(in) && in.Good();
  }

  Frames Take() { return std::exchange(frames_, {}); }

  web::FrameReader reader_;
  Frames frames_;
  std::string payload_;  // of the frame being read, so far
};

TEST_F(FrameReaderTest, EveryCutCarriedToANewReaderReadsTheSameFrames) {
  const std::string big(70000, 'b');  // a 64-bit length
  const std::string stream =
      ClientFrame(web::kTextFrame, "hello", false) + ClientFrame(web::kPingFrame, "") +
      ClientFrame(web::kContinuationFrame, std::string(300, 'm'), true, false) +
      ClientFrame(web::kBinaryFrame, big) + ClientFrame(web::kCloseFrame, "\x03\xE8");
  Read(stream);
  const Frames whole = Take();
  ASSERT_EQ(whole, (Frames{"1 hello", "9 fin ", "0 fin " + std::string(300, 'm'), "2 fin " + big,
                           "8 fin \x03\xE8"}));
  EXPECT_TRUE(reader_.AtRest());
  // Every byte through the headers and the start of the long payload, then a stride.
  for (std::size_t cut = 0; cut <= stream.size(); cut += cut < 400 ? 1 : 997) {
    reader_ = web::FrameReader();
    Read(std::string_view(stream).substr(0, cut));
    ASSERT_TRUE(Carry()) << "cut at " << cut;
    Read(std::string_view(stream).substr(cut));
    ASSERT_EQ(Take(), whole) << "cut at " << cut;
  }
}

TEST_F(FrameReaderTest, RefusesFramesThatBreakTheProtocol) {
  const std::string topBitSet = std::string("\x82\x7F\x80", 3) + std::string(7, '\0');
  for (const std::string& bad : {ClientFrame(web::kTextFrame, "hi", true, true, 2),
                                 ClientFrame(web::kTextFrame, std::string(300, 'a'), true, true, 8),
                                 ClientFrame(web::kPingFrame, std::string(126, 'p')),
                                 ClientFrame(web::kPingFrame, "p", false), topBitSet}) {
    reader_ = web::FrameReader();
    Read(bad);
    EXPECT_EQ(Take(), Frames{"bad"});
  }
}

}  // namespace
