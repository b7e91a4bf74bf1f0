#include "base/number.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace {

TEST(LeadingInt32, ReadsAsTheStandardConversionDoes) {
  struct Case {
    const char* line;
    std::optional<std::int32_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"42", 42},
      {"-1", -1},
      {"  42", 42},
      {"\t\n\v\f\r 42", 42},
      {"42abc", 42},
      {"42 17", 42},
      {"007", 7},
      {"+7", 7},
      {"-0", 0},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"abc", std::nullopt},
      {"-", std::nullopt},
      {"+", std::nullopt},
      {"+-1", std::nullopt},
      {"- 1", std::nullopt},
      {"0x10", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(base::LeadingInt32(c.line), c.value) << '"' << c.line << '"';
}

}  // namespace
