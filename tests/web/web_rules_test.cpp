#include "web/web_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace web {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(RepairUtf8, ValidTextIsUnchanged) {
  const std::string text = "plain, caf\xC3\xA9, \xE2\x82\xAC, \xF0\x9F\x90\x88, \xF4\x8F\xBF\xBF";
  EXPECT_EQ(RepairUtf8(text), text);
  EXPECT_EQ(RepairUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(RepairUtf8, EachBrokenPieceBecomesOneReplacement) {
  EXPECT_EQ(RepairUtf8("a\x80z"), "a" + kFffd + "z");            // stray continuation
  EXPECT_EQ(RepairUtf8("a\xFFz"), "a" + kFffd + "z");            // never a lead byte
  EXPECT_EQ(RepairUtf8("\xE2\x82z"), kFffd + "z");               // cut: one piece
  EXPECT_EQ(RepairUtf8("end\xF0\x9F\x90"), "end" + kFffd);       // cut at the end
  EXPECT_EQ(RepairUtf8("\xC0\x80"), kFffd + kFffd);              // overlong NUL
  EXPECT_EQ(RepairUtf8("\xE0\x80\x80"), kFffd + kFffd + kFffd);  // overlong
  EXPECT_EQ(RepairUtf8("\xED\xA0\x80"), kFffd + kFffd + kFffd);  // a surrogate
  EXPECT_EQ(RepairUtf8("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);  // past U+10FFFF
  EXPECT_EQ(RepairUtf8("\xC3\xC3\xA9"), kFffd + "\xC3\xA9");     // the next lead survives
}

TEST(Utf8Check, ACharacterMayBeCutBetweenPiecesAndABadByteBreaksTheRest) {
  Utf8Check check;
  EXPECT_TRUE(check.Feed("caf\xC3"));
  EXPECT_FALSE(check.Whole());
  EXPECT_TRUE(check.Feed("\xA9 \xF0\x9F"));
  EXPECT_TRUE(check.Feed("\x90\x88"));
  EXPECT_TRUE(check.Whole());

  Utf8Check surrogate;
  EXPECT_TRUE(surrogate.Feed("\xED"));
  EXPECT_FALSE(surrogate.Feed("\xA0\x80"));
  EXPECT_FALSE(surrogate.Feed("a"));
  EXPECT_FALSE(surrogate.Whole());
  EXPECT_FALSE(IsValidUtf8("\xE2\x82"));  // cut at the end
  EXPECT_FALSE(IsValidUtf8("\xC0\x80"));  // overlong
  EXPECT_TRUE(IsValidUtf8(std::string("a\0\xF4\x8F\xBF\xBF", 6)));
}

TEST(OriginAllowed, ThePagesOwnOriginAndListedOnes) {
  const std::vector<std::string> none;
  EXPECT_TRUE(OriginAllowed("http://localhost:8080", "localhost:8080", none));
  EXPECT_TRUE(OriginAllowed("https://Play.Example.org", "play.example.org", none));
  EXPECT_TRUE(OriginAllowed("", "localhost:8080", none));  // not a browser
  EXPECT_FALSE(OriginAllowed("http://localhost:8081", "localhost:8080", none));
  EXPECT_FALSE(OriginAllowed("http://evil.example", "localhost:8080", none));
  EXPECT_FALSE(OriginAllowed("http://localhost:8080.evil.example", "localhost:8080", none));
  EXPECT_FALSE(OriginAllowed("ftp://localhost:8080", "localhost:8080", none));
  EXPECT_FALSE(OriginAllowed("null", "", none));

  const auto listed = SplitOrigins("https://cats.example.org/, http://a.example  ,,");
  EXPECT_EQ(listed, (std::vector<std::string>{"https://cats.example.org", "http://a.example"}));
  EXPECT_TRUE(OriginAllowed("https://cats.example.org", "127.0.0.1:8080", listed));
  EXPECT_FALSE(OriginAllowed("https://cats.example.org:444", "127.0.0.1:8080", listed));
}

TEST(RouteRequest, PathsAndMethods) {
  EXPECT_EQ(RouteRequest("GET", "/"), Route::Page);
  EXPECT_EQ(RouteRequest("GET", "/?utm=x"), Route::Page);
  EXPECT_EQ(RouteRequest("GET", "/pelthollow.js"), Route::Script);
  EXPECT_EQ(RouteRequest("GET", "/pelthollow.css"), Route::Style);
  EXPECT_EQ(RouteRequest("GET", "/ws"), Route::WebSocket);
  EXPECT_EQ(RouteRequest("GET", "/mudlet/pelthollow.mpackage"), Route::MudletPackage);
  EXPECT_EQ(RouteRequest("GET", "/index.html"), Route::NotFound);
  EXPECT_EQ(RouteRequest("HEAD", "/pelthollow.css"), Route::Style);
  EXPECT_EQ(RouteRequest("HEAD", "/nothing"), Route::NotFound);
  EXPECT_EQ(RouteRequest("POST", "/"), Route::MethodNotAllowed);
  EXPECT_EQ(RouteRequest("get", "/"), Route::MethodNotAllowed);
}

}  // namespace
}  // namespace web
