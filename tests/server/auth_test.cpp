// The gate of a server with a password, on a clock the test moves.
#include "server/auth.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int64_t FakeNow = 0;
int64_t FakeClock() { return FakeNow; }

// Each wrong password from an address doubles its wait, from half a second up to a minute; a
// try during the wait is refused unlooked-at, even with the right password; other addresses
// (an IPv6 client's whole /64 counting as one) are not held up; a quarter of an hour without
// a failure forgets; the right password gives a session that lasts while it is used.
TEST(Gatekeeper, WrongPasswordsWaitLongerAndSessionsLastWhileUsed) {
  std::string error;
  Gatekeeper gate;
  ASSERT_TRUE(gate.SetPasswordHash(HashPassword("right one", &error), &error)) << error;
  gate.clock = FakeClock;
  FakeNow = 1000000;
  std::string token;
  int retry = 0;
  const int64_t waits[] = {500, 1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
  for (const int64_t wait : waits) {
    SCOPED_TRACE(wait);
    ASSERT_EQ(gate.SignIn("192.0.2.7", "wrong", &token, &retry), SignInResult::kWrongPassword);
    EXPECT_EQ(retry, (wait + 999) / 1000);
    FakeNow += wait - 1;
    ASSERT_EQ(gate.SignIn("192.0.2.7", "right one", &token, &retry), SignInResult::kSlowedDown);
    EXPECT_EQ(retry, 1);
    FakeNow += 1;
  }
  EXPECT_EQ(gate.SignIn("192.0.2.8", "wrong", &token, &retry), SignInResult::kWrongPassword);
  EXPECT_EQ(gate.SignIn("2001:db8::1", "wrong", &token, &retry), SignInResult::kWrongPassword);
  EXPECT_EQ(gate.SignIn("2001:db8::9:2", "wrong", &token, &retry), SignInResult::kSlowedDown);
  EXPECT_EQ(gate.SignIn("2001:db8:0:1::1", "wrong", &token, &retry), SignInResult::kWrongPassword);

  FakeNow += 15 * 60 * 1000 + 1;
  ASSERT_EQ(gate.SignIn("192.0.2.7", "wrong", &token, &retry), SignInResult::kWrongPassword);
  EXPECT_EQ(retry, 1) << "a quarter of an hour forgets the failures";
  FakeNow += 500;
  ASSERT_EQ(gate.SignIn("192.0.2.7", "right one", &token, &retry), SignInResult::kSignedIn);
  EXPECT_EQ(token.size(), 64u);
  EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(gate.SignIn("192.0.2.7", "wrong", &token, &retry), SignInResult::kWrongPassword);
  EXPECT_EQ(retry, 1) << "signing in forgets the failures";

  FakeNow += 500;
  std::string other;
  ASSERT_EQ(gate.SignIn("192.0.2.9", "right one", &other, &retry), SignInResult::kSignedIn);
  ASSERT_EQ(gate.SignIn("192.0.2.9", "right one", &token, &retry), SignInResult::kSignedIn);
  EXPECT_NE(token, other);
  EXPECT_TRUE(gate.ValidSession(token));
  EXPECT_FALSE(gate.ValidSession(token.substr(1) + "0"));
  EXPECT_FALSE(gate.ValidSession(""));
  FakeNow += int64_t{11} * 3600 * 1000;
  EXPECT_TRUE(gate.ValidSession(token)) << "used within the idle time";
  FakeNow += int64_t{12} * 3600 * 1000 + 1;
  EXPECT_FALSE(gate.ValidSession(token)) << "unused for more than 12 hours";
  EXPECT_FALSE(gate.ValidSession(other));
  ASSERT_EQ(gate.SignIn("192.0.2.9", "right one", &token, &retry), SignInResult::kSignedIn);
  gate.EndSession(token);
  EXPECT_FALSE(gate.ValidSession(token));

  // Checks at once are bounded over every address: beyond them a try waits, unlooked-at and not
  // counted as a failure.
  gate.checksAtOnce = 0;
  EXPECT_EQ(gate.SignIn("198.51.100.1", "right one", &token, &retry), SignInResult::kSlowedDown);
  gate.checksAtOnce = 1;
  EXPECT_EQ(gate.SignIn("198.51.100.1", "right one", &token, &retry), SignInResult::kSignedIn);
}

// Hashes are salted, checked whatever their salt, and a file that holds no hash is refused.
TEST(Gatekeeper, PasswordFilesAndCookies) {
  std::string error;
  const std::string first = HashPassword("пароль ünïcode", &error);
  const std::string second = HashPassword("пароль ünïcode", &error);
  ASSERT_FALSE(first.empty()) << error;
  EXPECT_NE(first, second);
  EXPECT_TRUE(PasswordMatches("пароль ünïcode", first));
  EXPECT_TRUE(PasswordMatches("пароль ünïcode", second));
  EXPECT_FALSE(PasswordMatches("пароль ünïcodE", first));
  EXPECT_FALSE(PasswordMatches("", first));
  Gatekeeper gate;
  for (const std::string& bad :
       std::vector<std::string>{"", "plain words", "$y$", "$9$nothing$known", first + " x"})
    EXPECT_FALSE(gate.SetPasswordHash(bad, &error)) << bad;
  EXPECT_FALSE(gate.PasswordRequired());

  EXPECT_EQ(SessionFromCookies("a=1; vostrel_session=abc; b=2"), "abc");
  EXPECT_EQ(SessionFromCookies("vostrel_session=abc"), "abc");
  EXPECT_EQ(SessionFromCookies("xvostrel_session=abc; vostrel_sessionx=d"), "");
  EXPECT_EQ(SessionFromCookies(""), "");
}

}  // namespace
