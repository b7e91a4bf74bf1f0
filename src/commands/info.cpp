#include "commands/info.h"

#include <charconv>

#include "commands/handlers.h"
#include "core/connection_lock.h"
#include "world/looking.h"
#include "world/role.h"
#include "world/territory.h"

namespace commands {

namespace {

constexpr std::int32_t kTicksPerHour = 120;  // a tick is 30 game seconds
constexpr std::int32_t kDaysPerMoon = 30;
constexpr std::int32_t kMoonsPerYear = 12;

// `value` in decimal, at least `width` digits with leading zeros (as "{:02}" writes it:
// a minus sign counts towards the width and stands before the zeros).
void AppendNumber(std::string& out, std::int64_t value, std::size_t width = 1) {
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  (void)ec;  // 24 bytes hold any 64-bit number
  std::string_view text(digits, static_cast<std::size_t>(end - digits));
  if (!text.empty() && text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
    if (width > 0) --width;
  }
  if (text.size() < width) out.append(width - text.size(), '0');
  out += text;
}

}  // namespace

std::string_view ConditionWord(std::int32_t value, std::int32_t max) {
  if (max == 0) return "crippled";  // the quotient would be infinite or not a number
  const float ratio = static_cast<float>(value) / static_cast<float>(max);
  if (ratio == 1.0f) return "good";
  if (ratio == 0.75f) return "average";
  if (ratio == 0.5f) return "poor";
  if (ratio == 0.25f) return "critical";
  return "crippled";
}

std::string_view RelativeDirection(std::int32_t x, std::int32_t y, std::int32_t tx,
                                   std::int32_t ty) {
  if (tx == x) {
    if (ty == y) return " here.";
    return ty < y ? " north of here." : " south of here.";
  }
  if (ty == y) return tx > x ? " east of here." : " west of here.";
  if (tx > x) return ty < y ? " northeast of here." : " southeast of here.";
  return ty < y ? " northwest of here." : " southwest of here.";
}

std::string TimeLine(const world::GameClockState& clock) {
  // 64-bit arithmetic: no value of either counter can overflow it.
  const std::int64_t tick = clock.tickOfDay;
  const std::int64_t day = clock.day;
  std::string line = "It is ";
  AppendNumber(line, tick / kTicksPerHour, 2);
  line += ':';
  AppendNumber(line, (tick % kTicksPerHour) / 2, 2);
  line += ':';
  AppendNumber(line, (tick % 2) * 30, 2);
  line += ", on day ";
  AppendNumber(line, day % kDaysPerMoon + 1);
  line += " of moon ";
  AppendNumber(line, (day / kDaysPerMoon) % kMoonsPerYear + 1);
  line += " of year ";
  AppendNumber(line, day / (kDaysPerMoon * kMoonsPerYear) + 1);
  line += '.';
  return line;
}

void Look(const Context& context, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (line.ArgCount() == 0) {
    world::DescribeArea(context.world.characters, context.outbox, context.connection);
  } else {
    world::DescribeCharacter(context.world.characters, context.outbox, context.connection,
                             line.Arg(0));
  }
}

void Status(const Context& context, const CommandLine&) {
  ASSERT_CONNECTION_LOCK_HELD();
  const world::Character& c = Actor(context);
  const std::int32_t max = world::TraitsOf(c.role).health;
  const auto part = [&](std::string_view name, std::int32_t value) {
    std::string text = "Your ";
    text += name;
    text += " is in ";
    text += ConditionWord(value, max);
    text += " condition.";
    context.Answer(text);
  };
  context.Answer(std::string(kOverallHealth) + std::string(ConditionWord(c.healthOverall, max)) +
                 ".");
  part("head", c.healthHead);
  part("body", c.healthBody);
  part("tail", c.healthTail);
  part("left front leg", c.healthLeftFrontLeg);
  part("right front leg", c.healthRightFrontLeg);
  part("left back leg", c.healthLeftBackLeg);
  part("right back leg", c.healthRightBackLeg);
}

void Navigate(const Context& context, const CommandLine&) {
  ASSERT_CONNECTION_LOCK_HELD();
  const world::Character& c = Actor(context);
  const world::Cell camp = world::CampCentre(c.clan);
  std::string line = "The ";
  line += world::ClanName(c.clan);
  line += " camp is";
  line += RelativeDirection(c.x, c.y, camp.x, camp.y);
  context.Answer(line);
  context.Answer("Oldmeadow is" + std::string(RelativeDirection(c.x, c.y, world::kOldmeadow.x,
                                                                world::kOldmeadow.y)));
}

void Time(const Context& context, const CommandLine&) {
  ASSERT_CONNECTION_LOCK_HELD();
  context.Answer(TimeLine(context.world.clock));
}

}  // namespace commands
