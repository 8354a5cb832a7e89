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

TEST(ErrorTextTest, UnknownCodeHasNoText) { EXPECT_EQ(SystemErrorText(0x12345), ""); }

TEST(ComErrorsTest, ComErrorCarriesItsResultAndMessage) {
  try {
    throw _com_error(kEOutOfMemory);
  } catch (const _com_error& error) {
    EXPECT_EQ(error.Error(), kEOutOfMemory);
    EXPECT_EQ(error.ErrorMessage(), SystemErrorText(8 + 6));
  }
  EXPECT_EQ(_com_error(static_cast<HRESULT>(0x80041234u)).ErrorMessage(), "Unknown error 0x80041234");
}

TEST(ComErrorsTest, AtlThrowRaisesCAtlException) {
  try {
    AtlThrow(kEInvalidArg);
    FAIL() << "AtlThrow returned";
  } catch (const CAtlException& error) {
    EXPECT_EQ(static_cast<HRESULT>(error), kEInvalidArg);
  }
}

}  // namespace
}  // namespace nexoral
