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

TEST(RoutePath, PathsAndMethods) {
  EXPECT_EQ(RoutePath("/"), Route::Page);
  EXPECT_EQ(RoutePath("/pelthollow.js"), Route::Script);
  EXPECT_EQ(RoutePath("/pelthollow.css"), Route::Style);
  EXPECT_EQ(RoutePath("/ws"), Route::WebSocket);
  EXPECT_EQ(RoutePath("/mudlet/pelthollow.mpackage"), Route::MudletPackage);
  EXPECT_EQ(RoutePath("/index.html"), Route::NotFound);
  EXPECT_EQ(KindOfMethod("HEAD"), MethodKind::Served);
  EXPECT_EQ(KindOfMethod("OPTIONS"), MethodKind::NotAllowed);
  EXPECT_EQ(KindOfMethod("get"), MethodKind::Unknown);  // methods are case-sensitive
}

TEST(ReadTarget, OriginAndAbsoluteFormsAndTheirHosts) {
  Target target;
  ASSERT_TRUE(ReadTarget("/?utm=x", target));
  EXPECT_EQ(target.path, "/");
  EXPECT_EQ(target.authority, "");
  ASSERT_TRUE(ReadTarget("HTTPS://[::1]:8080?x", target));
  EXPECT_EQ(target.path, "/");
  EXPECT_EQ(target.authority, "[::1]:8080");
  for (const char* bad :
       {"*", "example.org:443", "ftp://a/", "http:///ws", "http://user@a/", "http://a:8x/"}) {
    EXPECT_FALSE(ReadTarget(bad, target)) << bad;
  }
  EXPECT_TRUE(HostValid(""));
  EXPECT_TRUE(HostValid("play.example.org:8080"));
  EXPECT_FALSE(HostValid("a b"));
  EXPECT_FALSE(HostValid("[::1"));
}

TEST(ChooseMetricsFormat, OpenMetricsOnlyWhenAskedForFirst) {
  EXPECT_EQ(ChooseMetricsFormat(""), MetricsFormat::Prometheus);
  EXPECT_EQ(ChooseMetricsFormat("*/*"), MetricsFormat::Prometheus);
  EXPECT_EQ(ChooseMetricsFormat("application/openmetrics-text; version=1.0.0"),
            MetricsFormat::OpenMetrics);
  EXPECT_EQ(
      ChooseMetricsFormat("text/plain;version=0.0.4;q=0.5, Application/OpenMetrics-Text;q=0.6"),
      MetricsFormat::OpenMetrics);
  EXPECT_EQ(ChooseMetricsFormat("application/openmetrics-text;q=0.3, text/*"),
            MetricsFormat::Prometheus);
  EXPECT_EQ(ChooseMetricsFormat("application/openmetrics-text;q=0"), MetricsFormat::Prometheus);
  EXPECT_EQ(ChooseMetricsFormat("application/openmetrics-text;q=2"), MetricsFormat::Prometheus);
}

}  // namespace
}  // namespace web
