// Tokens: handle life cycle, impersonation per thread, and the process-identity scope.
#include "platform/thread_token.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/error_codes.h"

namespace nexoral::platform {
namespace {

TokenIdentity Alice() { return TokenIdentity{"alice", "CONTOSO", "S-1-5-21-1-2-3-1104", {"S-1-5-32-545"}}; }

class ThreadTokenTest : public ::testing::Test {
 protected:
  void SetUp() override { handlesBefore_ = OpenTokenHandleCount(); }
  void TearDown() override {
    RevertToSelf();
    EXPECT_EQ(OpenTokenHandleCount(), handlesBefore_) << "a test leaked a token handle";
  }
  size_t handlesBefore_ = 0;
};

TEST_F(ThreadTokenTest, DuplicateIsAnIndependentHandleToTheSameIdentity) {
  HANDLE token = CreateAccessToken(Alice());
  HANDLE duplicate = nullptr;
  ASSERT_TRUE(DuplicateAccessToken(token, &duplicate));
  EXPECT_NE(duplicate, token);
  ASSERT_TRUE(CloseAccessToken(token));
  TokenIdentity identity;
  ASSERT_TRUE(GetAccessTokenIdentity(duplicate, &identity));
  EXPECT_EQ(identity.user, "alice");
  EXPECT_EQ(identity.groupSids, Alice().groupSids);
  EXPECT_TRUE(CloseAccessToken(duplicate));
}

TEST_F(ThreadTokenTest, ClosedAndUnknownHandlesFailWithInvalidHandle) {
  HANDLE token = CreateAccessToken(Alice());
  ASSERT_TRUE(CloseAccessToken(token));
  SetLastError(0);
  EXPECT_FALSE(CloseAccessToken(token));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  HANDLE duplicate = nullptr;
  EXPECT_FALSE(DuplicateAccessToken(INVALID_HANDLE_VALUE, &duplicate));
  EXPECT_FALSE(SetThreadToken(token));
  EXPECT_FALSE(ThreadImpersonates());
}

TEST_F(ThreadTokenTest, ImpersonationBelongsToTheThreadAndOutlivesTheHandle) {
  HANDLE token = CreateAccessToken(Alice());
  ASSERT_TRUE(SetThreadToken(token));
  ASSERT_TRUE(CloseAccessToken(token));
  EXPECT_EQ(EffectiveIdentity().user, "alice");
  std::string otherThreadUser;
  std::thread([&] { otherThreadUser = EffectiveIdentity().user; }).join();
  EXPECT_EQ(otherThreadUser, ProcessIdentity().user);
  RevertToSelf();
  EXPECT_EQ(EffectiveIdentity().user, ProcessIdentity().user);
}

TEST_F(ThreadTokenTest, ProcessIdentityScopeRevertsAndRestores) {
  HANDLE token = CreateAccessToken(Alice());
  ASSERT_TRUE(SetThreadToken(token));
  {
    ProcessIdentityScope asProcess;
    EXPECT_FALSE(ThreadImpersonates());
    EXPECT_EQ(EffectiveIdentity().user, ProcessIdentity().user);
  }
  EXPECT_EQ(EffectiveIdentity().user, "alice");
  EXPECT_TRUE(CloseAccessToken(token));
}

TEST_F(ThreadTokenTest, ProcessIdentityScopeWithoutImpersonationLeavesLastErrorAlone) {
  SetLastError(1234);
  { ProcessIdentityScope asProcess; }
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_FALSE(ThreadImpersonates());
}

}  // namespace
}  // namespace nexoral::platform
