// Last error per thread, HRESULT helpers, message texts and component exceptions.
#include <gtest/gtest.h>

#include <thread>

#include "platform/com_errors.h"
#include "platform/error_codes.h"
#include "platform/error_text.h"

namespace nexoral {
namespace {

TEST(LastErrorTest, EachThreadHasItsOwn) {
  SetLastError(122);
  DWORD seenByOther = 999;
  std::thread([&] {
    seenByOther = GetLastError();
    SetLastError(87);
  }).join();
  EXPECT_EQ(seenByOther, 0u);
  EXPECT_EQ(GetLastError(), 122u);
}

TEST(ErrorTextTest, HresultOfFacilitySevenGivesTheSystemErrorText) {
  EXPECT_EQ(HresultFromWin32(87), kEInvalidArg);
  EXPECT_EQ(SystemErrorText(static_cast<DWORD>(kEInvalidArg)), SystemErrorText(87));
  EXPECT_EQ(SystemErrorText(122), "The data area passed to a system call is too small.");
  EXPECT_EQ(HresultFromWin32(0), kSOk);
  EXPECT_TRUE(Failed(kEFail));
  EXPECT_TRUE(Succeeded(kSFalse));
}

TEST(ErrorTextTest, CodesOutsideTheTableGetTheCLibrarysTextOrNothing) {
  EXPECT_EQ(SystemErrorText(28), "No space left on device");  // not a code this system names
  EXPECT_EQ(SystemErrorText(2), "The system cannot find the file specified.");  // named here
  EXPECT_EQ(SystemErrorText(999999), "");
  EXPECT_EQ(SystemErrorText(0x80071234u), "");
}

}  // namespace
}  // namespace nexoral
