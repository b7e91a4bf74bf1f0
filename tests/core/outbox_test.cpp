#include "core/outbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "world_fixture.h"

namespace {

using namespace std::string_literals;

class OutboxTest : public WorldTest {
 protected:
  static FrameCapture::Sent& Sent() { return FrameCapture::Frames(); }

  void Flush() {
    Sent().clear();
    FrameCapture capture;
    core::FlushOutbox();
  }
};

TEST_F(OutboxTest, OneFramePerDestinationInAscendingHandleOrder) {
  core::QueueMessage(300, "c");
  core::QueueMessage(7, "a");
  core::QueueMessage(300, "d");
  core::QueueMessage(7, "b");
  Flush();
  EXPECT_EQ(Sent(), (std::vector<std::pair<core::Socket, std::string>>{{7, "a\nb"s},
                                                                       {300, "c\nd"s}}));
}

TEST_F(OutboxTest, EmptyMessagesAndMessagesWithLineFeeds) {
  core::QueueMessage(4, "abc");
  core::QueueMessage(4, "");
  core::QueueMessage(5, "");
  core::QueueMessage(6, "x\ny");
  Flush();
  EXPECT_EQ(Sent(), (std::vector<std::pair<core::Socket, std::string>>{
                        {4, "abc\n"s}, {5, ""s}, {6, "x\ny"s}}));
}

TEST_F(OutboxTest, AFlushEmptiesTheOutboxAndAnEmptyFlushSendsNothing) {
  core::QueueMessage(4, "one");
  Flush();
  Flush();
  EXPECT_TRUE(Sent().empty());
  core::QueueMessage(4, "two");
  Flush();
  EXPECT_EQ(Sent(), (std::vector<std::pair<core::Socket, std::string>>{{4, "two"s}}));
}

TEST_F(OutboxTest, TakeQueuedFramesGivesWhatAFlushWouldSend) {
  core::QueueMessage(9, "b");
  core::QueueMessage(2, "a");
  core::QueueMessage(9, "c");
  EXPECT_EQ(core::TakeQueuedFrames(),
            (std::vector<std::pair<core::Socket, std::string>>{{2, "a"}, {9, "b\nc"}}));
  EXPECT_TRUE(core::TakeQueuedFrames().empty());
}

}  // namespace
