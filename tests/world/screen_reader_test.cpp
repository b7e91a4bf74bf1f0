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
  World().screenReaders.Set(1, true);
  World().screenReaders.Set(2, true);  // before it enters play
  World().screenReaders.Set(4, true);
  Frames();
  Place(2, "Birch", 5, 5);
  EXPECT_EQ(Frames(), (std::map<core::Socket, std::string>{{1, "Birch has logged in here."}}));
  Leave(1);
  EXPECT_EQ(Frames(), (std::map<core::Socket, std::string>{{2, "Ash has logged out."}}));
  World().screenReaders.Set(2, false);
  Leave(3);
  EXPECT_TRUE(Frames().empty());
  EXPECT_EQ(World().screenReaders.All(), (std::vector<core::Socket>{1, 4}));
}

}  // namespace
