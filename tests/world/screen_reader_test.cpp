#include "world/screen_reader.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "world_fixture.h"

namespace {

class ScreenReaderTest : public WorldTest {};

TEST_F(ScreenReaderTest, OnlyThoseInTheModeOnTheCellHearACatEnterOrLeavePlay) {
  Place(1, "Ash", 5, 5);
  Place(3, "Cedar", 5, 5);
  Place(4, "Dusk", 5, 6);
  world::SetScreenReader(1, true);
  world::SetScreenReader(2, true);  // before it enters play
  world::SetScreenReader(4, true);
  Frames();
  Place(2, "Birch", 5, 5);
  EXPECT_EQ(Frames(), (std::map<core::Socket, std::string>{{1, "Birch has logged in here."}}));
  Leave(1);
  EXPECT_EQ(Frames(), (std::map<core::Socket, std::string>{{2, "Ash has logged out."}}));
  world::SetScreenReader(2, false);
  Leave(3);
  EXPECT_TRUE(Frames().empty());
  EXPECT_EQ(world::ScreenReaders(), (std::vector<core::Socket>{1, 4}));
}

}  // namespace
