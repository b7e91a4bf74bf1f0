#include "web/web_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace web {
namespace {

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
