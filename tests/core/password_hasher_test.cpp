// The hasher's helper as a stand-in that misbehaves: the server's real helper is the
// program itself, which the end-to-end tests start.
#include "core/password_hasher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/password.h"

namespace {

using namespace std::chrono_literals;
using core::PasswordVerdict;

// A helper that runs `script` in the shell, with the request on descriptor 3.
void UseScript(core::PasswordHasher& hasher, const std::string& script, std::chrono::milliseconds wait = 10s) {
  hasher.UseHelper({"/bin/sh", "-c", script}, wait);
}

TEST(PasswordHasher, AHelperThatEndsWithTheRequestFailsOnlyThatRequest) {
  core::PasswordHasher hasher;
  UseScript(hasher, "head -c 1 <&3 >/dev/null");  // takes the request's first byte and ends
  EXPECT_FALSE(hasher.Hash("pw").has_value());
  EXPECT_EQ(hasher.Restarts(), 1u);
  EXPECT_EQ(hasher.CheckDummy("pw"), PasswordVerdict::Unknown);
  EXPECT_EQ(hasher.Restarts(), 2u);
  // Plain passwords from an older file need no helper.
  EXPECT_EQ(hasher.Check("pw", "pw"), PasswordVerdict::Matches);
}

TEST(PasswordHasher, AHelperThatHangsOrBabblesIsKilledInTime) {
  const std::string stored = base::HashPassword("pw").value();  // made here: no helper yet
  core::PasswordHasher hung;
  UseScript(hung, "exec sleep 60", 200ms);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(hung.Check(stored, "pw"), PasswordVerdict::Unknown);
  EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
  EXPECT_EQ(hung.Restarts(), 1u);

  core::PasswordHasher babbling;
  UseScript(babbling, "head -c 1 <&3 >/dev/null; printf 'a long story' >&3; exec sleep 60");
  EXPECT_EQ(babbling.Check(stored, "pw"), PasswordVerdict::Unknown);
  EXPECT_EQ(babbling.Restarts(), 1u);
}

}  // namespace
