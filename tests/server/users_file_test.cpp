// The users file, Basic credentials and who a request runs as.
#include <crypt.h>

#include <gtest/gtest.h>

#include "authenticator.h"
#include "users_file.h"

namespace nexoral::server {
namespace {

std::string Hash(const char* password) {
  crypt_data scratch{};
  return crypt_rn(password, "$6$testsalt$", &scratch, sizeof(scratch));
}

UsersFile Users() {
  UsersFileError error;
  std::optional<UsersFile> users = UsersFile::Parse(
      "# comment\n\nalice:" + Hash("wonderland") +
          ":CONTOSO:S-1-5-21-1-2-3-1001:S-1-5-21-1-2-3-513,S-1-5-32-545\r\n"
          "locked:*:CONTOSO:S-1-5-21-1-2-3-1003:\n",
      &error);
  EXPECT_TRUE(users) << error.line << ": " << error.message;
  return std::move(*users);
}

TEST(UsersFileTest, AuthenticatesWithTheStoredHashAndGivesTheIdentity) {
  const UsersFile users = Users();
  const auto alice = users.Authenticate("ALICE", "wonderland");
  ASSERT_TRUE(alice);
  EXPECT_EQ(alice->user, "alice");
  EXPECT_EQ(alice->domain, "CONTOSO");
  EXPECT_EQ(alice->sid, "S-1-5-21-1-2-3-1001");
  EXPECT_EQ(alice->groupSids, (std::vector<std::string>{"S-1-5-21-1-2-3-513", "S-1-5-32-545"}));
  EXPECT_FALSE(users.Authenticate("alice", "Wonderland"));
  EXPECT_FALSE(users.Authenticate("alice", ""));
  EXPECT_FALSE(users.Authenticate("nobody", "wonderland"));
  EXPECT_FALSE(users.Authenticate("locked", "*"));
}

TEST(UsersFileTest, MalformedLinesAreReportedWithTheirNumber) {
  const struct {
    std::string text;
    unsigned line;
  } cases[] = {
      {"a:h:D:S-1-5\n", 1},
      {"# ok\na:$6$x:D:not-a-sid:\n", 2},
      {"a:$6$x:D:S-1-5-1:S-1-5-2,oops\n", 1},
      {":$6$x:D:S-1-5-1:\n", 1},
      {"a:$6$x:D:S-1-5-1:\nA:$6$y:D:S-1-5-2:\n", 2},
      {"a::D:S-1-5-1:\n", 1},
  };
  for (const auto& test : cases) {
    UsersFileError error;
    EXPECT_FALSE(UsersFile::Parse(test.text, &error)) << test.text;
    EXPECT_EQ(error.line, test.line) << test.text;
  }
}

TEST(AuthenticatorTest, DecidesBetweenAnonymousUserAndDenied) {
  const Authenticator authenticator(Users(), {"/public/"}, "Mail \"Box\"");
  EXPECT_EQ(authenticator.Check("/public/a.css", "").kind, AuthResult::Kind::kAnonymous);
  EXPECT_EQ(authenticator.Check("/publicity", "").kind, AuthResult::Kind::kDenied);
  // "alice:wonderland", "CONTOSO\alice:wonderland", "OTHER\alice:wonderland"
  const AuthResult plain = authenticator.Check("/owa/", "Basic YWxpY2U6d29uZGVybGFuZA==");
  EXPECT_EQ(plain.kind, AuthResult::Kind::kAuthenticated);
  EXPECT_EQ(plain.LogonUser(), "CONTOSO\\alice");
  EXPECT_EQ(plain.AuthType(), "Basic");
  EXPECT_EQ(authenticator.Check("/owa/", "basic Q09OVE9TT1xhbGljZTp3b25kZXJsYW5k").kind,
            AuthResult::Kind::kAuthenticated);
  EXPECT_EQ(authenticator.Check("/owa/", "Basic T1RIRVJcYWxpY2U6d29uZGVybGFuZA==").kind,
            AuthResult::Kind::kDenied);
  for (const char* bad : {"", "Bearer abc", "Basic", "Basic !!!!", "Basic YWxpY2U=",
                          "Basic YWxpY2U6d29uZGVybGFuZA"}) {
    EXPECT_EQ(authenticator.Check("/owa/", bad).kind, AuthResult::Kind::kDenied) << bad;
  }
  EXPECT_EQ(authenticator.Challenge(), "Basic realm=\"Mail \\\"Box\\\"\"");
}

TEST(AuthenticatorTest, WithoutUsersOnlyAnonymousPathsAreServed) {
  const Authenticator authenticator(std::nullopt, {"/"}, "x");
  EXPECT_EQ(authenticator.Check("/anything", "Basic YWxpY2U6d29uZGVybGFuZA==").kind,
            AuthResult::Kind::kAnonymous);
  const Authenticator closed(std::nullopt, {}, "x");
  EXPECT_EQ(closed.Check("/owa/", "Basic YWxpY2U6d29uZGVybGFuZA==").kind,
            AuthResult::Kind::kDenied);
}

}  // namespace
}  // namespace nexoral::server
