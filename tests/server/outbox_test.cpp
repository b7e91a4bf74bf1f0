#include "server/outbox.h"

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
    server::FlushOutbox();
  }
};

TEST_F(OutboxTest, OneFramePerDestinationInAscendingHandleOrder) {
  server::QueueMessage(300, "c");
  server::QueueMessage(7, "a");
  server::QueueMessage(300, "d");
  server::QueueMessage(7, "b");
  Flush();
  EXPECT_EQ(Sent(), (std::vector<std::pair<net::Socket, std::string>>{{7, "a\nb\0"s},
                                                                       {300, "c\nd\0"s}}));
}

TEST_F(OutboxTest, EmptyMessagesAndMessagesWithLineFeeds) {
  server::QueueMessage(4, "abc");
  server::QueueMessage(4, "");
  server::QueueMessage(5, "");
  server::QueueMessage(6, "x\ny");
  Flush();
  EXPECT_EQ(Sent(), (std::vector<std::pair<net::Socket, std::string>>{
                        {4, "abc\n\0"s}, {5, "\0"s}, {6, "x\ny\0"s}}));
}

TEST_F(OutboxTest, AFlushEmptiesTheOutboxAndAnEmptyFlushSendsNothing) {
  server::QueueMessage(4, "one");
  Flush();
  Flush();
  EXPECT_TRUE(Sent().empty());
  server::QueueMessage(4, "two");
  Flush();
  EXPECT_EQ(Sent(), (std::vector<std::pair<net::Socket, std::string>>{{4, "two\0"s}}));
}

TEST_F(OutboxTest, TakeQueuedFramesGivesWhatAFlushWouldSend) {
  server::QueueMessage(9, "b");
  server::QueueMessage(2, "a");
  server::QueueMessage(9, "c");
  EXPECT_EQ(server::TakeQueuedFrames(),
            (std::vector<std::pair<net::Socket, std::string>>{{2, "a"}, {9, "b\nc"}}));
  EXPECT_TRUE(server::TakeQueuedFrames().empty());
}

}  // namespace
