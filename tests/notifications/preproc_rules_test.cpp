// The text rules of request pre-processing, on the inputs that decide them.
#include "notifications/preproc_rules.h"

#include <gtest/gtest.h>

namespace nexoral {
namespace {

TEST(MaskAuthorizationTest, KeepsNineCharactersOfALongValueAndMasksShortOnesWhole) {
  std::string raw = "Host: a\r\nAuthorization: Basic YWxpY2U6d29uZGVy\r\nAccept: */*\r\n";
  MaskAuthorization(raw);
  EXPECT_EQ(raw, "Host: a\r\nAuthorization: Basic YWxXXXXXXXXXXXXX\r\nAccept: */*\r\n");

  std::string shortValue = "authorization: 123456789\r\n";
  MaskAuthorization(shortValue);
  EXPECT_EQ(shortValue, "authorization: XXXXXXXXX\r\n");

  std::string tenCharacters = "AUTHORIZATION: 1234567890\r\n";
  MaskAuthorization(tenCharacters);
  EXPECT_EQ(tenCharacters, "AUTHORIZATION: 123456789X\r\n");
}

TEST(MaskAuthorizationTest, MasksEveryCredentialLineAndALastLineWithoutItsEnd) {
  std::string raw =
      "Proxy-Authorization: Basic cHJveHk6c2VjcmV0\r\nAuthorization: NTLM TlRMTVNTUAABAAAA\r\n"
      "Authorization: Basic Ym9iOmJ1aWxkZXI=";
  MaskAuthorization(raw);
  EXPECT_EQ(raw,
            "Proxy-Authorization: Basic cHJXXXXXXXXXXXXX\r\nAuthorization: NTLM TlRMXXXXXXXXXXXX\r\n"
            "Authorization: Basic Ym9XXXXXXXXXXXXX");
}

TEST(MaskAuthorizationTest, LeavesTextsWithoutCredentialsOrShorterThanFifteenAlone) {
  std::string plain = "Host: mail.example.com\r\nCookie: a=b\r\n";
  MaskAuthorization(plain);
  EXPECT_EQ(plain, "Host: mail.example.com\r\nCookie: a=b\r\n");
  std::string tiny = "Authorization:";
  MaskAuthorization(tiny);
  EXPECT_EQ(tiny, "Authorization:");
}

TEST(LoopbackAddressTest, OnlyTheTwoLoopbackAddressesCount) {
  EXPECT_TRUE(IsLoopbackAddress("127.0.0.1"));
  EXPECT_TRUE(IsLoopbackAddress("::1"));
  for (const char* other : {"127.0.0.2", "127.1", "::ffff:127.0.0.1", "0:0:0:0:0:0:0:1", "",
                            "10.0.0.1", "127.0.0.1 ", "localhost"}) {
    EXPECT_FALSE(IsLoopbackAddress(other)) << other;
  }
}

TEST(UrlPartsTest, ExtensionStartsAtTheFirstDotOfTheLastSegment) {
  EXPECT_EQ(UrlExtension("/owa/scripts/mail.min.js"), ".min.js");
  EXPECT_EQ(UrlExtension("/owa/v1.2/page"), "");
  EXPECT_EQ(UrlExtension("/owa/"), "");
  EXPECT_EQ(UrlExtension("mail.js"), "");
}

TEST(UrlPartsTest, VirtualDirectoryIsTheFirstSegment) {
  EXPECT_EQ(VirtualDirectoryOf("/owa/inbox/item"), "/owa");
  EXPECT_EQ(VirtualDirectoryOf("/owa"), "/owa");
  EXPECT_EQ(VirtualDirectoryOf("/owa\\inbox"), "/owa");
  EXPECT_EQ(VirtualDirectoryOf("/"), "/");
  EXPECT_EQ(VirtualDirectoryOf("//x"), "/");
}

TEST(UrlPartsTest, OnlyIpv6AddressesGetBrackets) {
  EXPECT_EQ(AddressForUrl("fe80::1"), "[fe80::1]");
  EXPECT_EQ(AddressForUrl("::ffff:10.0.0.1"), "::ffff:10.0.0.1");
  EXPECT_EQ(AddressForUrl("10.0.0.1"), "10.0.0.1");
}

TEST(UrlPartsTest, StaticFileNameIsTheLastSegmentBeforeTheQuery) {
  size_t start = 0;
  size_t length = 0;
  ASSERT_TRUE(FindStaticFileName("/owa/scripts/mail.js?v=2", &start, &length));
  EXPECT_EQ(start, 13u);
  EXPECT_EQ(length, 7u);
  ASSERT_TRUE(FindStaticFileName("/owa/scripts//", &start, &length));
  EXPECT_EQ(std::string("/owa/scripts//").substr(start, length), "scripts");
  EXPECT_FALSE(FindStaticFileName("/owa/a", &start, &length));
  EXPECT_FALSE(FindStaticFileName("////", &start, &length));
  EXPECT_FALSE(FindStaticFileName("", &start, &length));
}

TEST(QueryParametersTest, FirstValueStaysAndAPieceWithoutEqualsNamesItself) {
  std::map<std::string, std::string> parameters;
  ASSERT_TRUE(ParseQueryParameters("ae=Item&t=IPM.Note&ae=Folder&flag&a=b=c&", parameters));
  EXPECT_EQ(parameters.at("ae"), "Item");
  EXPECT_EQ(parameters.at("t"), "IPM.Note");
  EXPECT_EQ(parameters.at("flag"), "flag");
  EXPECT_EQ(parameters.at("a"), "b=c");
  EXPECT_EQ(parameters.count(""), 1u);
}

}  // namespace
}  // namespace nexoral
