// The file-backed registry: values through keys, the key files an administrator edits, and what
// a corrupt, oversized or refused input does (and leaves alone).
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error_codes.h"
#include "platform/registry_root.h"

namespace nexoral::testing {
namespace {

using platform::RegistryAccess;
using platform::RegistryKey;
using platform::RegistryValue;

constexpr char kSetupKey[] = "Software\\Zephyrquill\\Setup";
constexpr char kSetupFile[] = "software/zephyrquill/setup.reg";

class RegistryTest : public ::testing::Test {
 protected:
  RegistryKey Open(const std::string& path, RegistryAccess access) {
    RegistryKey key;
    EXPECT_EQ(RegistryKey::Open(path, access, &key), kErrorSuccess) << path;
    return key;
  }
  RegistryValue Query(const RegistryKey& key, const std::string& name) {
    RegistryValue value;
    EXPECT_EQ(key.QueryValue(name, &value), kErrorSuccess) << name;
    return value;
  }
  std::string KeyFile(const std::string& relative = kSetupFile) const {
    return root_.Folder().Join(relative);
  }
  std::vector<std::string> FolderEntries(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  RegistryRootOverride root_;
};

TEST(RegistryRootTest, VariableWhenSetAndNotEmptyElseTheDefault) {
  RegistryRootOverride override;
  override.Use("/srv/registry//");
  EXPECT_EQ(platform::RegistryRoot(), "/srv/registry");
  override.Use("");
  EXPECT_EQ(platform::RegistryRoot(), platform::kDefaultRegistryRoot);
  unsetenv(platform::kRegistryRootVariable);
  EXPECT_EQ(platform::RegistryRoot(), platform::kDefaultRegistryRoot);
}

TEST_F(RegistryTest, ValuesRoundTripThroughTheKeyFile) {
  RegistryKey writer = Open(kSetupKey, RegistryAccess::kWrite);
  EXPECT_EQ(writer.SetTextValue("CsmHash", "LDWwD"), kErrorSuccess);
  EXPECT_EQ(writer.SetTextValue("Home", "%NEXORAL_HOME%/x", platform::REG_EXPAND_SZ),
            kErrorSuccess);
  EXPECT_EQ(writer.SetTextValue("Spaced", "  a=b: c ; not a comment  "), kErrorSuccess);
  EXPECT_EQ(writer.SetTextValue("Empty", ""), kErrorSuccess);
  EXPECT_EQ(writer.SetNumberValue("CsmRefreshInterval", 15), kErrorSuccess);
  EXPECT_EQ(writer.SetNumberValue("Largest", 0xFFFFFFFFu), kErrorSuccess);
  EXPECT_EQ(writer.SetNumberValue("Zero", 0), kErrorSuccess);
  ASSERT_TRUE(std::filesystem::is_regular_file(KeyFile()));

  const RegistryKey reader = Open(kSetupKey, RegistryAccess::kRead);
  RegistryValue value = Query(reader, "CsmHash");
  EXPECT_EQ(value.type, platform::REG_SZ);
  EXPECT_EQ(value.text, "LDWwD");
  value = Query(reader, "Home");
  EXPECT_EQ(value.type, platform::REG_EXPAND_SZ);
  EXPECT_EQ(value.text, "%NEXORAL_HOME%/x");
  EXPECT_EQ(Query(reader, "Spaced").text, "  a=b: c ; not a comment  ");
  value = Query(reader, "Empty");
  EXPECT_EQ(value.type, platform::REG_SZ);
  EXPECT_EQ(value.text, "");
  value = Query(reader, "CsmRefreshInterval");
  EXPECT_EQ(value.type, platform::REG_DWORD);
  EXPECT_EQ(value.number, 15u);
  EXPECT_EQ(Query(reader, "Largest").number, 0xFFFFFFFFu);
  EXPECT_EQ(Query(reader, "Zero").type, platform::REG_DWORD);

  // A key opened for writing reads too, and sees a change of type.
  EXPECT_EQ(writer.SetNumberValue("CsmHash", 7), kErrorSuccess);
  value = Query(writer, "CsmHash");
  EXPECT_EQ(value.type, platform::REG_DWORD);
  EXPECT_EQ(value.number, 7u);
  EXPECT_EQ(writer.DeleteValue("Home"), kErrorSuccess);
  EXPECT_EQ(reader.QueryValue("Home", &value), kErrorFileNotFound);
  EXPECT_EQ(Query(reader, "Spaced").text, "  a=b: c ; not a comment  ");
}

TEST_F(RegistryTest, KeyPathsAndValueNamesIgnoreCaseAndValuesKeepTheirFirstSpelling) {
  RegistryKey writer = Open(kSetupKey, RegistryAccess::kWrite);
  ASSERT_EQ(writer.SetTextValue("CsmHash", "AAAAA"), kErrorSuccess);

  RegistryKey other = Open("/SOFTWARE//zephyrquill\\\\SETUP\\", RegistryAccess::kWrite);
  EXPECT_EQ(Query(other, "CSMHASH").text, "AAAAA");
  ASSERT_EQ(other.SetTextValue("csmhash", "BBBBB"), kErrorSuccess);
  EXPECT_EQ(Query(writer, "CsmHash").text, "BBBBB");

  const std::string content = ReadWholeFile(KeyFile());
  EXPECT_NE(content.find("CsmHash=REG_SZ:BBBBB\n"), std::string::npos) << content;
  EXPECT_EQ(content.find("csmhash"), std::string::npos) << content;
  EXPECT_EQ(content.find("AAAAA"), std::string::npos) << content;
}

TEST_F(RegistryTest, MissingKeysAndValuesReportFileNotFound) {
  RegistryKey key;
  EXPECT_EQ(RegistryKey::Open(kSetupKey, RegistryAccess::kRead, &key), kErrorFileNotFound);
  EXPECT_FALSE(key.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(root_.Folder().Join("software")))
      << "opening for reading must not create the key";

  RegistryKey writer = Open(kSetupKey, RegistryAccess::kWrite);
  EXPECT_TRUE(std::filesystem::is_regular_file(KeyFile())) << "opening for writing creates it";
  const RegistryKey reader = Open(kSetupKey, RegistryAccess::kRead);
  RegistryValue value;
  EXPECT_EQ(reader.QueryValue("CsmHash", &value), kErrorFileNotFound);
  EXPECT_EQ(writer.DeleteValue("CsmHash"), kErrorFileNotFound);

  // A key file removed behind an open key: reads miss, a write makes it again.
  std::filesystem::remove(KeyFile());
  EXPECT_EQ(reader.QueryValue("CsmHash", &value), kErrorFileNotFound);
  EXPECT_EQ(writer.SetTextValue("CsmHash", "CCCCC"), kErrorSuccess);
  EXPECT_EQ(Query(reader, "CsmHash").text, "CCCCC");

  // A key under a component that is a file does not exist either.
  root_.Folder().WriteFile("software/file", "");
  EXPECT_EQ(RegistryKey::Open("Software\\File\\Below", RegistryAccess::kRead, &key),
            kErrorFileNotFound);
  EXPECT_NE(RegistryKey::Open("Software\\File\\Below", RegistryAccess::kWrite, &key),
            kErrorSuccess);
}

TEST_F(RegistryTest, KeyOpenedForReadingRefusesEveryWrite) {
  RegistryKey writer = Open(kSetupKey, RegistryAccess::kWrite);
  ASSERT_EQ(writer.SetTextValue("CsmHash", "AAAAA"), kErrorSuccess);
  const std::string before = ReadWholeFile(KeyFile());

  RegistryKey reader = Open(kSetupKey, RegistryAccess::kRead);
  EXPECT_EQ(reader.SetTextValue("CsmHash", "BBBBB"), kErrorAccessDenied);
  EXPECT_EQ(reader.SetTextValue("Other", "BBBBB", platform::REG_EXPAND_SZ), kErrorAccessDenied);
  EXPECT_EQ(reader.SetNumberValue("CsmRefreshInterval", 3), kErrorAccessDenied);
  EXPECT_EQ(reader.DeleteValue("CsmHash"), kErrorAccessDenied);
  EXPECT_EQ(ReadWholeFile(KeyFile()), before);

  RegistryKey unopened;
  RegistryValue value;
  EXPECT_EQ(unopened.QueryValue("CsmHash", &value), kErrorInvalidHandle);
  EXPECT_EQ(unopened.SetTextValue("CsmHash", "BBBBB"), kErrorInvalidHandle);
  EXPECT_EQ(unopened.SetNumberValue("CsmHash", 1), kErrorInvalidHandle);
  EXPECT_EQ(unopened.DeleteValue("CsmHash"), kErrorInvalidHandle);
}

TEST_F(RegistryTest, RefusedKeyPathsCreateNothing) {
  const std::vector<std::string> paths = {
      "", "\\\\//", ".", "Software\\..\\Setup", "Software\\.\\Setup",
      std::string("Soft\0ware\\Setup", 15), "Software\\Set\nup", "Software\\Setup.reg",
      "Software\\SETUP.LOCK\\Below", std::string(201, 'k')};
  for (const std::string& path : paths) {
    RegistryKey key;
    EXPECT_EQ(RegistryKey::Open(path, RegistryAccess::kWrite, &key), kErrorInvalidParameter)
        << path;
    EXPECT_EQ(RegistryKey::Open(path, RegistryAccess::kRead, &key), kErrorInvalidParameter) << path;
    EXPECT_FALSE(key.IsOpen());
  }
  EXPECT_TRUE(FolderEntries(root_.Folder().Path()).empty());
  EXPECT_EQ(RegistryKey::Open(kSetupKey, RegistryAccess::kWrite, nullptr), kErrorInvalidParameter);

  // The longest component allowed still makes a key.
  RegistryKey longest = Open(std::string(200, 'k'), RegistryAccess::kWrite);
  EXPECT_EQ(longest.SetNumberValue("Value", 1), kErrorSuccess);
}

TEST_F(RegistryTest, RefusedNamesAndTextsLeaveTheKeyAsItWas) {
  RegistryKey writer = Open(kSetupKey, RegistryAccess::kWrite);
  ASSERT_EQ(writer.SetTextValue("CsmHash", "AAAAA"), kErrorSuccess);
  const std::string before = ReadWholeFile(KeyFile());

  const std::vector<std::string> names = {
      "", "a=b", "line\nbreak", "tab\there", " leading", "trailing\t", ";comment", "#comment",
      std::string("nul\0name", 8), std::string(256, 'n')};
  for (const std::string& name : names) {
    RegistryValue value;
    EXPECT_EQ(writer.SetTextValue(name, "x"), kErrorInvalidParameter) << name;
    EXPECT_EQ(writer.SetNumberValue(name, 1), kErrorInvalidParameter) << name;
    EXPECT_EQ(writer.DeleteValue(name), kErrorInvalidParameter) << name;
    EXPECT_EQ(writer.QueryValue(name, &value), kErrorInvalidParameter) << name;
  }
  for (const std::string& text : {std::string("two\nlines"), std::string("carriage\rreturn"),
                                  std::string("nul\0text", 8), std::string("ends\n")}) {
    EXPECT_EQ(writer.SetTextValue("CsmHash", text), kErrorInvalidParameter) << text;
  }
  EXPECT_EQ(writer.SetTextValue("CsmHash", "BBBBB", platform::REG_DWORD), kErrorInvalidParameter);
  EXPECT_EQ(writer.SetTextValue("CsmHash", "BBBBB", platform::REG_NONE), kErrorInvalidParameter);
  EXPECT_EQ(ReadWholeFile(KeyFile()), before);

  // Names as long as allowed and with inner blanks and punctuation are fine.
  EXPECT_EQ(writer.SetTextValue(std::string(255, 'n'), "x"), kErrorSuccess);
  EXPECT_EQ(writer.SetTextValue("Inner blank: [x];#", "y"), kErrorSuccess);
  EXPECT_EQ(Query(writer, "inner BLANK: [x];#").text, "y");
}

TEST_F(RegistryTest, HandWrittenFileIsReadAndItsOtherLinesSurviveAWrite) {
  const std::string handWritten =
      "# Set up by the administrator\r\n"
      "\n"
      "  ; indented comment\n"
      "  CsmHash = reg_sz :  spaced text\n"
      "CsmRefreshInterval=REG_DWORD: 0x1F \r\n"
      "Decimal=Reg_Dword:0004294967295\n"
      "Expand\t=\tREG_EXPAND_SZ:%HOME%\n"
      "Windows=REG_SZ:ends with CR\r\n"
      "Last=REG_SZ:no final line break";
  root_.Folder().WriteFile(kSetupFile, handWritten);

  RegistryKey key = Open(kSetupKey, RegistryAccess::kWrite);
  RegistryValue value = Query(key, "csmhash");
  EXPECT_EQ(value.type, platform::REG_SZ);
  EXPECT_EQ(value.text, "  spaced text");
  EXPECT_EQ(Query(key, "CsmRefreshInterval").number, 0x1Fu);
  EXPECT_EQ(Query(key, "Decimal").number, 4294967295u);
  value = Query(key, "Expand");
  EXPECT_EQ(value.type, platform::REG_EXPAND_SZ);
  EXPECT_EQ(value.text, "%HOME%");
  EXPECT_EQ(Query(key, "Windows").text, "ends with CR");
  EXPECT_EQ(Query(key, "Last").text, "no final line break");

  ASSERT_EQ(key.SetNumberValue("CSMREFRESHINTERVAL", 20), kErrorSuccess);
  ASSERT_EQ(key.SetTextValue("Added", "new"), kErrorSuccess);
  const std::string expected =
      "# Set up by the administrator\r\n"
      "\n"
      "  ; indented comment\n"
      "  CsmHash = reg_sz :  spaced text\n"
      "CsmRefreshInterval=REG_DWORD:20\n"
      "Decimal=Reg_Dword:0004294967295\n"
      "Expand\t=\tREG_EXPAND_SZ:%HOME%\n"
      "Windows=REG_SZ:ends with CR\r\n"
      "Last=REG_SZ:no final line break\n"
      "Added=REG_SZ:new\n";
  EXPECT_EQ(ReadWholeFile(KeyFile()), expected);

  ASSERT_EQ(key.DeleteValue("Decimal"), kErrorSuccess);
  EXPECT_EQ(ReadWholeFile(KeyFile()).find("Decimal"), std::string::npos);
  EXPECT_NE(ReadWholeFile(KeyFile()).find("# Set up by the administrator\r\n"), std::string::npos);
}

TEST_F(RegistryTest, NewKeyFileNamesItsKeyAndIsReplacedWholeOnEveryWrite) {
  RegistryKey key = Open(kSetupKey, RegistryAccess::kWrite);
  ASSERT_EQ(key.SetTextValue("CsmHash", "AAAAA"), kErrorSuccess);
  EXPECT_EQ(ReadWholeFile(KeyFile()), "; Software\\Zephyrquill\\Setup\nCsmHash=REG_SZ:AAAAA\n");

  struct stat first {};
  ASSERT_EQ(stat(KeyFile().c_str(), &first), 0);
  EXPECT_EQ(first.st_mode & 07777, 0644u);
  ASSERT_EQ(chmod(KeyFile().c_str(), 0600), 0);
  ASSERT_EQ(key.SetNumberValue("CsmRefreshInterval", 5), kErrorSuccess);
  struct stat second {};
  ASSERT_EQ(stat(KeyFile().c_str(), &second), 0);
  EXPECT_NE(second.st_ino, first.st_ino) << "a write renames a new file over the key file";
  EXPECT_EQ(second.st_mode & 07777, 0600u) << "a rewritten key keeps the administrator's mode";

  std::vector<std::string> entries = FolderEntries(root_.Folder().Join("software/zephyrquill"));
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"setup.lock", "setup.reg"}))
      << "no temporary file is left behind";
}

// A key file with one line that does not parse, after a good value.
class CorruptKeyFileTest : public RegistryTest,
                           public ::testing::WithParamInterface<std::string> {};

TEST_P(CorruptKeyFileTest, ReadsFailAndWritesLeaveTheFileUntouched) {
  const std::string content = "; kept\nGood=REG_SZ:ok\n" + GetParam() + "\nAfter=REG_DWORD:1\n";
  root_.Folder().WriteFile(kSetupFile, content);

  RegistryKey key = Open(kSetupKey, RegistryAccess::kWrite);
  RegistryValue value;
  EXPECT_EQ(key.QueryValue("Good", &value), kErrorBadDatabase);
  EXPECT_EQ(key.QueryValue("Missing", &value), kErrorBadDatabase);
  EXPECT_EQ(key.SetTextValue("Good", "changed"), kErrorBadDatabase);
  EXPECT_EQ(key.SetNumberValue("New", 1), kErrorBadDatabase);
  EXPECT_EQ(key.DeleteValue("After"), kErrorBadDatabase);
  EXPECT_EQ(ReadWholeFile(KeyFile()), content);

  // Mending the line by hand mends the key.
  root_.Folder().WriteFile(kSetupFile, "; kept\nGood=REG_SZ:ok\n");
  EXPECT_EQ(Query(key, "Good").text, "ok");
}

INSTANTIATE_TEST_SUITE_P(MalformedLines, CorruptKeyFileTest,
                         ::testing::Values("NoEqualsSign", "Name=REG_SZ", "Name=REG_BINARY:00ff",
                                           "Name=:text", "=REG_SZ:no name", "Name=REG_DWORD:",
                                           "Name=REG_DWORD:0x", "Name=REG_DWORD:4294967296",
                                           "Name=REG_DWORD:0x100000000", "Name=REG_DWORD:-1",
                                           "Name=REG_DWORD:+1", "Name=REG_DWORD:12abc",
                                           "Name=REG_DWORD:1 2", "good=REG_SZ:twice",
                                           std::string("Name=REG_SZ:a\0b", 15),
                                           std::string("\0", 1), "Bad\x01Name=REG_SZ:x"));

TEST_F(RegistryTest, OversizedFilesAreRefusedAndNoWriteMakesOne) {
  // Just below the limit: readable and writable, until a write would cross it.
  const std::string header = "Value=REG_SZ:x\n";
  std::string nearlyFull =
      header + std::string(platform::kMaxRegistryFileSize - header.size() - 120, ';');
  nearlyFull += '\n';
  root_.Folder().WriteFile(kSetupFile, nearlyFull);
  RegistryKey key = Open(kSetupKey, RegistryAccess::kWrite);
  EXPECT_EQ(Query(key, "Value").text, "x");
  EXPECT_EQ(key.SetTextValue("Small", "y"), kErrorSuccess);
  const std::string withSmall = ReadWholeFile(KeyFile());
  EXPECT_EQ(key.SetTextValue("Large", std::string(200, 'z')), kErrorRegistryQuotaLimit);
  EXPECT_EQ(ReadWholeFile(KeyFile()), withSmall);

  // Over the limit: nothing reads it and nothing rewrites it.
  const std::string oversized = header + std::string(platform::kMaxRegistryFileSize, '#') + "\n";
  root_.Folder().WriteFile(kSetupFile, oversized);
  RegistryValue value;
  EXPECT_EQ(key.QueryValue("Value", &value), kErrorBadDatabase);
  EXPECT_EQ(key.SetTextValue("Value", "y"), kErrorBadDatabase);
  EXPECT_EQ(ReadWholeFile(KeyFile()), oversized);
}

}  // namespace
}  // namespace nexoral::testing
