#include "core/outbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "world_fixture.h"

namespace {

using namespace std::string_literals;

class OutboxTest : public WorldTest {
 protected:
  const FrameCapture::Sent& Sent() const { return capture_.frames; }

  void Flush() {
    capture_.frames.clear();
    Outbox().DeliverTo(&capture_);
    Outbox().Flush();
    Outbox().DeliverTo(nullptr);
  }

 private:
  FrameCapture capture_;
};

TEST_F(OutboxTest, OneFramePerDestinationInAscendingHandleOrder) {
  Outbox().Queue(300, "c");
  Outbox().Queue(7, "a");
  Outbox().Queue(300, "d");
  Outbox().Queue(7, "b");
  Flush();
  EXPECT_EQ(Sent(), (std::vector<std::pair<core::Socket, std::string>>{{7, "a\nb"s},
                                                                       {300, "c\nd"s}}));
}

TEST_F(OutboxTest, EmptyMessagesAndMessagesWithLineFeeds) {
  Outbox().Queue(4, "abc");
  Outbox().Queue(4, "");
  Outbox().Queue(5, "");
  Outbox().Queue(6, "x\ny");
  Flush();
  EXPECT_EQ(Sent(), (std::vector<std::pair<core::Socket, std::string>>{
                        {4, "abc\n"s}, {5, ""s}, {6, "x\ny"s}}));
}

TEST_F(OutboxTest, AFlushEmptiesTheOutboxAndAnEmptyFlushSendsNothing) {
  Outbox().Queue(4, "one");
  Flush();
  Flush();
  EXPECT_TRUE(Sent().empty());
  Outbox().Queue(4, "two");
  Flush();
  EXPECT_EQ(Sent(), (std::vector<std::pair<core::Socket, std::string>>{{4, "two"s}}));
}

TEST_F(OutboxTest, TakeQueuedFramesGivesWhatAFlushWouldSend) {
  Outbox().Queue(9, "b");
  Outbox().Queue(2, "a");
  Outbox().Queue(9, "c");
  EXPECT_EQ(Outbox().TakeQueued(),
            (std::vector<std::pair<core::Socket, std::string>>{{2, "a"}, {9, "b\nc"}}));
  EXPECT_TRUE(Outbox().TakeQueued().empty());
}

}  // namespace
