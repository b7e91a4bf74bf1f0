// The save file reader on good files, on the files of the old server (CR LF), and on
// damaged ones: every damaged file must give a result, keep what came before the fault
// and say what was left out.
#include "persist/save_reader.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "world/territory.h"

namespace {

using persist::ParseSave;
using persist::SaveContents;

// The 21 field lines of a record, in file order, as a good file holds them.
struct RecordLines {
  std::string name = "Ash";
  std::string password = "pw";
  std::string pronouns = "she";
  std::string age = "360";
  std::string role = "2";
  std::string clan = "0";
  std::string description = "a grey cat ";
  std::string flag1 = "1";
  std::string flag2 = "0";
  std::string x = "22";
  std::string y = "23";
  std::vector<std::string> numbers{"4", "3", "2", "1", "0", "-1", "4", "4", "7", "-8"};

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines{"CHARA", name, password, pronouns, age, role, clan,
                                   description, flag1, flag2, x, y};
    lines.insert(lines.end(), numbers.begin(), numbers.end());
    lines.push_back("CHARAEND");
    return lines;
  }
};

// A file from its lines, each ended by `end`.
std::string Join(const std::vector<std::string>& lines, const std::string& end = "\n") {
  std::string out;
  for (const auto& line : lines) out += line + end;
  return out;
}

std::vector<std::string> Header(const std::string& day = "12", const std::string& tick = "345") {
  return {"PLTHO", day, tick, "CHARAS"};
}

std::string File(const std::vector<RecordLines>& records, const std::string& end = "\n") {
  std::vector<std::string> lines = Header();
  for (const auto& r : records) {
    const auto record = r.Lines();
    lines.insert(lines.end(), record.begin(), record.end());
  }
  lines.push_back("CHARASEND");
  return Join(lines, end);
}

RecordLines Named(const std::string& name) {
  RecordLines r;
  r.name = name;
  return r;
}

std::vector<std::string> Names(const SaveContents& contents) {
  std::vector<std::string> names;
  for (const auto& c : contents.characters) names.push_back(c->name);
  return names;
}

TEST(SaveReader, ReadsEveryFieldOfARecord) {
  const SaveContents contents = ParseSave(File({RecordLines{}}));
  EXPECT_EQ(contents.messages, "");
  EXPECT_FALSE(contents.leftOut);
  EXPECT_EQ(contents.clock.day, 12);
  EXPECT_EQ(contents.clock.tickOfDay, 345);
  ASSERT_EQ(contents.characters.size(), 1u);
  const world::Character& c = *contents.characters[0];
  EXPECT_EQ(c.name, "Ash");
  EXPECT_EQ(c.password, "pw");
  EXPECT_EQ(c.pronouns, "she");
  EXPECT_EQ(c.age, 360);
  EXPECT_EQ(c.role, world::Role::Warrior);
  EXPECT_EQ(c.clan, world::Clan::Emberfold);
  EXPECT_EQ(c.description, "a grey cat ");
  EXPECT_TRUE(c.anatomyFlag1);
  EXPECT_FALSE(c.anatomyFlag2);
  EXPECT_EQ(c.x, 22);
  EXPECT_EQ(c.y, 23);
  EXPECT_EQ(c.following, nullptr);
  EXPECT_EQ(c.healthOverall, 4);
  EXPECT_EQ(c.healthHead, 3);
  EXPECT_EQ(c.healthBody, 2);
  EXPECT_EQ(c.healthTail, 1);
  EXPECT_EQ(c.healthLeftFrontLeg, 0);
  EXPECT_EQ(c.healthRightFrontLeg, -1);
  EXPECT_EQ(c.healthLeftBackLeg, 4);
  EXPECT_EQ(c.healthRightBackLeg, 4);
  EXPECT_EQ(c.extra1, 7);
  EXPECT_EQ(c.extra2, -8);
}

TEST(SaveReader, AnEmptyWorldLoadsNothingAndSaysNothing) {
  const SaveContents contents = ParseSave("PLTHO\n0\n0\nCHARAS\nCHARASEND\n");
  EXPECT_EQ(contents.messages, "");
  EXPECT_FALSE(contents.leftOut);
  EXPECT_TRUE(contents.characters.empty());
  EXPECT_EQ(contents.clock.day, 0);
  EXPECT_EQ(contents.clock.tickOfDay, 0);
}

TEST(SaveReader, CrLfFilesReadLikeLfFiles) {
  RecordLines r;
  r.description = " two  blanks ";
  r.pronouns = "";
  const SaveContents lf = ParseSave(File({r, Named("Birch")}));
  const SaveContents crlf = ParseSave(File({r, Named("Birch")}, "\r\n"));
  EXPECT_EQ(crlf.messages, "");
  ASSERT_EQ(Names(crlf), Names(lf));
  EXPECT_EQ(crlf.characters[0]->description, " two  blanks ");
  EXPECT_EQ(crlf.characters[0]->pronouns, "");
  EXPECT_EQ(crlf.clock.tickOfDay, 345);
  // A carriage return elsewhere is a byte of the text.
  r.name = "A\rB";
  EXPECT_EQ(ParseSave(File({r})).characters.at(0)->name, "A\rB");
}

TEST(SaveReader, TakesValuesUnchangedAsTheOldServerDid) {
  RecordLines odd;
  odd.name = "Ash";
  odd.role = "3";        // no such role: kept, reads as Warrior elsewhere
  odd.clan = "9";        // no such clan: kept, reads as Fernfold elsewhere
  odd.flag1 = "2";       // any number but 0 is true
  odd.flag2 = "-5";
  odd.age = "42abc";     // the digits up to the first other character
  odd.numbers[0] = "  -100";
  RecordLines twin = Named("Ash");  // duplicate names are accepted
  const SaveContents contents = ParseSave(File({odd, twin}));
  EXPECT_EQ(contents.messages, "");
  ASSERT_EQ(contents.characters.size(), 2u);
  const world::Character& c = *contents.characters[0];
  EXPECT_EQ(static_cast<int>(c.role), 3);
  EXPECT_EQ(static_cast<int>(c.clan), 9);
  EXPECT_TRUE(c.anatomyFlag1);
  EXPECT_TRUE(c.anatomyFlag2);
  EXPECT_EQ(c.age, 42);
  EXPECT_EQ(c.healthOverall, -100);
}

TEST(SaveReader, AnyLineMayStartARecordAndOnlyCharaEndCloses) {
  std::vector<std::string> lines = Header();
  auto first = Named("Ash").Lines();
  first.front() = "ANYTHING";  // not compared with CHARA
  auto broken = Named("Birch").Lines();
  broken.back() = "CHARAEN";  // left out, silently
  auto last = Named("Cedar").Lines();
  for (const auto* record : {&first, &broken, &last}) lines.insert(lines.end(), record->begin(), record->end());
  lines.push_back("CHARASEND");
  lines.push_back("whatever follows the end is never read");
  const SaveContents contents = ParseSave(Join(lines));
  EXPECT_EQ(contents.messages, "");
  EXPECT_TRUE(contents.leftOut);
  EXPECT_EQ(Names(contents), (std::vector<std::string>{"Ash", "Cedar"}));
}

TEST(SaveReader, APositionOffTheMapBecomesTheCampCentre) {
  RecordLines east = Named("East");
  east.x = "30";
  RecordLines north = Named("North");
  north.clan = "1";
  north.y = "-1";
  RecordLines stray = Named("Stray");
  stray.clan = "3";  // reads as Fernfold
  stray.x = "-2147483648";
  stray.y = "5";
  RecordLines edge = Named("Edge");
  edge.x = "29";
  edge.y = "0";
  const SaveContents contents = ParseSave(File({east, north, stray, edge}));
  EXPECT_EQ(contents.messages, "");
  EXPECT_FALSE(contents.leftOut);
  ASSERT_EQ(contents.characters.size(), 4u);
  const auto at = [&](std::size_t i) {
    return world::Cell{contents.characters[i]->x, contents.characters[i]->y};
  };
  EXPECT_EQ(at(0), world::CampCentre(world::Clan::Emberfold));
  EXPECT_EQ(at(1), world::CampCentre(world::Clan::Mossfold));
  EXPECT_EQ(at(2), world::CampCentre(world::Clan::Fernfold));
  EXPECT_EQ(at(3), (world::Cell{29, 0}));
}

// --- Damaged files ----------------------------------------------------------------

struct DamagedCase {
  const char* what;
  std::string bytes;
  std::string messages;
  std::vector<std::string> names;
  std::int32_t day;
  std::int32_t tickOfDay;
};

// Ash, Birch and Cedar, with lines of Birch's record (numbered from 1) replaced.
std::string WithRecordLine(std::size_t recordLine, const std::string& value,
                           std::size_t otherLine = 0, const std::string& other = "") {
  auto lines = Header();
  auto a = Named("Ash").Lines();
  auto b = Named("Birch").Lines();
  b.at(recordLine - 1) = value;
  if (otherLine != 0) b.at(otherLine - 1) = other;
  auto c = Named("Cedar").Lines();
  for (const auto* r : {&a, &b, &c}) lines.insert(lines.end(), r->begin(), r->end());
  lines.push_back("CHARASEND");
  return Join(lines);
}

TEST(SaveReader, DamagedFilesLoadWhatTheyCanAndSayWhatWasLeftOut) {
  const std::string good = File({Named("Ash"), Named("Birch")});
  const std::vector<std::string> both{"Ash", "Birch"};
  // Lines of Birch, the second record: its record line k is file line 4 + 23 + k.
  const auto birchLine = [](int k) { return std::to_string(4 + 23 + k); };
  const std::vector<DamagedCase> cases = {
      {"empty file", "", "Magic string missing, load failed.\n", {}, 0, 0},
      {"magic in lower case", "pltho\n0\n0\nCHARAS\nCHARASEND\n",
       "Magic string missing, load failed.\n", {}, 0, 0},
      {"magic with a blank", "PLTHO \n0\n0\nCHARAS\nCHARASEND\n",
       "Magic string missing, load failed.\n", {}, 0, 0},
      {"old line ends of a bare CR", "PLTHO\r0\r0\rCHARAS\rCHARASEND\r",
       "Magic string missing, load failed.\n", {}, 0, 0},
      {"no section start", "PLTHO\n5\n6\nCHARS\nCHARASEND\n", "Chars section missing.\n", {}, 5, 6},
      {"bad day", "PLTHO\nsoon\n6\nCHARAS\nCHARASEND\n",
       "Bad value on line 2, clock left at 0.\n", {}, 0, 6},
      {"tick out of range", "PLTHO\n5\n2147483648\nCHARAS\nCHARASEND\n",
       "Bad value on line 3, clock left at 0.\n", {}, 5, 0},
      {"both clock lines empty", "PLTHO\n\n\nCHARAS\nCHARASEND\n",
       "Bad value on line 2, clock left at 0.\nBad value on line 3, clock left at 0.\n", {}, 0, 0},
      {"bad age", WithRecordLine(5, "old"),
       "Bad value on line " + birchLine(5) + ", character left out.\n", {"Ash", "Cedar"}, 12, 345},
      {"empty flag", WithRecordLine(9, ""),
       "Bad value on line " + birchLine(9) + ", character left out.\n", {"Ash", "Cedar"}, 12, 345},
      {"x out of range", WithRecordLine(11, "-2147483649"),
       "Bad value on line " + birchLine(11) + ", character left out.\n", {"Ash", "Cedar"}, 12, 345},
      {"two bad lines, one message", WithRecordLine(13, "x", 20, "y"),
       "Bad value on line " + birchLine(13) + ", character left out.\n", {"Ash", "Cedar"}, 12, 345},
      {"bad value and no end", [&] {
         std::string bytes = WithRecordLine(22, "?");
         return bytes.replace(bytes.find("CHARAEND\nCHARA\nCedar"), 8, "CHARAEXX");
       }(),
       "Bad value on line " + birchLine(22) + ", character left out.\n", {"Ash", "Cedar"}, 12, 345},
      {"no section end", good.substr(0, good.size() - 10), "Save file truncated, loaded 2 characters.\n",
       both, 12, 345},
      {"cut inside a record", good.substr(0, good.find("Birch") + 30),
       "Save file truncated, loaded 1 characters.\n", {"Ash"}, 12, 345},
      {"cut after the clock", "PLTHO\n5\n6\n", "Save file truncated, loaded 0 characters.\n", {}, 5, 6},
      {"cut after the magic", "PLTHO\n", "Save file truncated, loaded 0 characters.\n", {}, 0, 0},
      {"nothing but the magic", "PLTHO", "Save file truncated, loaded 0 characters.\n", {}, 0, 0},
      {"cut while a bad record is read", "PLTHO\n1\n2\nCHARAS\nCHARA\nAsh\npw\nhe\nold\n",
       "Bad value on line 9, character left out.\nSave file truncated, loaded 0 characters.\n", {}, 1, 2},
  };
  // A last marker without its line feed is whole; any other last line is a cut.
  const SaveContents unterminated = ParseSave(good.substr(0, good.size() - 1));
  EXPECT_EQ(unterminated.messages, "");
  EXPECT_FALSE(unterminated.leftOut);
  EXPECT_EQ(Names(unterminated), both);
  const std::string endOfRecord = good.substr(0, good.find("CHARAEND\nCHARASEND") + 8);
  EXPECT_EQ(ParseSave(endOfRecord).messages, "Save file truncated, loaded 2 characters.\n");
  for (const DamagedCase& c : cases) {
    SCOPED_TRACE(c.what);
    const SaveContents contents = ParseSave(c.bytes);
    EXPECT_EQ(contents.messages, c.messages);
    EXPECT_TRUE(contents.leftOut);
    EXPECT_EQ(Names(contents), c.names);
    EXPECT_EQ(contents.clock.day, c.day);
    EXPECT_EQ(contents.clock.tickOfDay, c.tickOfDay);
  }
}

TEST(SaveReader, BinaryJunkNeverStopsTheReader) {
  std::string junk = File({Named("Ash")});
  // Every byte value, NUL included, inside texts, numbers and markers.
  for (int i = 0; i < 256; ++i) junk.insert(junk.size() / 2, 1, static_cast<char>(i));
  const SaveContents contents = ParseSave(junk);
  EXPECT_TRUE(contents.leftOut);
  EXPECT_FALSE(contents.messages.empty());
  // A NUL inside a text is only a byte.
  RecordLines r;
  r.name = std::string("A\0B", 3);
  EXPECT_EQ(ParseSave(File({r})).characters.at(0)->name, std::string("A\0B", 3));
}

// Every prefix of a good file is a file cut short: each loads what was whole before the
// cut, and says so.
void CheckEveryPrefix(const std::string& end) {
  const std::vector<RecordLines> records{Named("Ash"), Named("Birch"), Named("Cedar")};
  const std::string file = File(records, end);
  const SaveContents whole = ParseSave(file);
  ASSERT_EQ(whole.messages, "");
  ASSERT_EQ(whole.characters.size(), 3u);

  // Where each complete record ends, and where the two clock lines end.
  std::vector<std::size_t> recordEnds;
  for (std::size_t at = file.find("CHARAEND" + end); at != std::string::npos;
       at = file.find("CHARAEND" + end, at + 1)) {
    recordEnds.push_back(at + 8);  // a last CHARAEND needs no line end
  }
  const std::size_t sectionEnd = file.rfind("CHARASEND") + 9;
  const std::size_t dayEnd = file.find(end, 6) + end.size();
  const std::size_t tickEnd = file.find(end, dayEnd) + end.size();

  for (std::size_t cut = 0; cut < file.size(); ++cut) {
    SCOPED_TRACE("cut at byte " + std::to_string(cut));
    const SaveContents contents = ParseSave(std::string_view(file).substr(0, cut));
    std::size_t loaded = 0;
    while (loaded < recordEnds.size() && recordEnds[loaded] <= cut) ++loaded;
    EXPECT_EQ(contents.leftOut, cut < sectionEnd);
    if (cut >= sectionEnd) {
      EXPECT_EQ(contents.messages, "");
    } else if (cut < 5) {
      EXPECT_EQ(contents.messages, "Magic string missing, load failed.\n");
    } else {
      EXPECT_EQ(contents.messages,
                "Save file truncated, loaded " + std::to_string(loaded) + " characters.\n");
    }
    ASSERT_EQ(contents.characters.size(), loaded);
    for (std::size_t i = 0; i < loaded; ++i) {
      EXPECT_EQ(contents.characters[i]->name, whole.characters[i]->name);
      EXPECT_EQ(contents.characters[i]->extra2, whole.characters[i]->extra2);
    }
    EXPECT_EQ(contents.clock.day, cut >= dayEnd ? 12 : 0);
    EXPECT_EQ(contents.clock.tickOfDay, cut >= tickEnd ? 345 : 0);
  }
}

TEST(SaveReader, EveryTruncatedPrefixKeepsWhatCameBeforeTheCut) { CheckEveryPrefix("\n"); }

TEST(SaveReader, EveryTruncatedPrefixOfACrLfFileToo) { CheckEveryPrefix("\r\n"); }

}  // namespace
