// The shared settings machinery: the element walkers, the attribute reading, the item decoder,
// the XML loading report, and the change test of a settings file over time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness/diagnostics_capture.h"
#include "platform/com_errors.h"
#include "platform/error_codes.h"
#include "settings/basic_settings.h"
#include "settings/core_settings.h"
#include "settings_files.h"

namespace nexoral {
namespace {

using testing::LogCapture;
using testing::ManualClock;
using testing::TempFolder;
using testing::kJan2026;

// Exposes the walkers and records what they call, in order.
class RecordingSettings : public CBasicSettings {
 public:
  using CBasicSettings::BeginLoad;
  using CBasicSettings::CommitLoadDate;
  using CBasicSettings::ParseItem;
  using CBasicSettings::ReadAttributes;
  using CBasicSettings::ReadNodes;
  using CBasicSettings::ReadNodesWithChildren;

  HRESULT Load(const std::string&) override { return kENotImpl; }
  HRESULT ProcessNode(const XmlNode& element, void*) override {
    calls.push_back("process " + element.Name());
    return processResult;
  }
  bool Record(AttributeList& attributes, void* kind) {
    std::string call = static_cast<const char*>(kind);
    for (const TAGITEM& entry : attributes) call += " " + entry.value.Text();
    calls.push_back(call);
    return true;
  }

  std::vector<std::string> calls;
  HRESULT processResult = kSOk;
};

CBasicSettings::AttributeList Names(std::initializer_list<const char*> names) {
  CBasicSettings::AttributeList list;
  for (const char* name : names) list.push_back({name, Variant()});
  return list;
}

XmlDocument& Parse(XmlDocument& document, const std::string& text) {
  platform::XmlParseError error;
  EXPECT_EQ(document.LoadText(text, "test.xml", error), kSOk) << error.reason;
  return document;
}

TEST(SettingsWalkers, ElementThenItsChildrenThenProcessNodeInDocumentOrder) {
  XmlDocument document;
  Parse(document,
        "<R><E a='1'><C c='x'/><Other c='no'/><C c='y'/></E><E a='2'/><E/></R>");
  RecordingSettings settings;
  CBasicSettings::_functTrans<RecordingSettings> own(&settings, &RecordingSettings::Record,
                                                     const_cast<char*>("E"));
  CBasicSettings::_functTrans<RecordingSettings> child(&settings, &RecordingSettings::Record,
                                                       const_cast<char*>("C"));
  int context = 0;
  settings.ReadNodesWithChildren(document.Root(), "R/E", Names({"a"}), own, "C", Names({"c"}),
                                 &child, &context);
  EXPECT_EQ(settings.calls,
            (std::vector<std::string>{"E 1", "C x", "C y", "process E", "E 2", "process E", "E ",
                                      "process E"}));
}

TEST(SettingsWalkers, NoContextNoProcessNodeAndANullParentSelectsNothing) {
  XmlDocument document;
  Parse(document, "<R><E a='1'/></R>");
  RecordingSettings settings;
  CBasicSettings::_functTrans<RecordingSettings> own(&settings, &RecordingSettings::Record,
                                                     const_cast<char*>("E"));
  settings.ReadNodesWithChildren(document.Root(), "R/E", Names({"a"}), own, "C", Names({"c"}),
                                 &own, nullptr);
  settings.ReadNodes(XmlNode(), "E", Names({"a"}), own);
  EXPECT_EQ(settings.calls, (std::vector<std::string>{"E 1"}));
}

TEST(SettingsWalkers, FailuresAreThrownToTheLoad) {
  XmlDocument document;
  Parse(document, "<R><E a='1'/></R>");
  RecordingSettings settings;
  CBasicSettings::_functTrans<RecordingSettings> own(&settings, &RecordingSettings::Record,
                                                     const_cast<char*>("E"));
  EXPECT_THROW(settings.ReadNodes(document.Root(), "R/E[", Names({"a"}), own), CAtlException);
  settings.processResult = kEFail;
  int context = 0;
  EXPECT_THROW(settings.ReadNodesWithChildren(document.Root(), "R/E", Names({"a"}), own, "",
                                              Names({}), nullptr, &context),
               CAtlException);
}

TEST(SettingsWalkers, AttributeReadingStopsAtTheFirstMissingAttribute) {
  XmlDocument document;
  Parse(document, "<E first='1' third='3'/>");
  std::vector<XmlNode> elements;
  ASSERT_EQ(document.Root().SelectNodes("E", elements), kSOk);
  ASSERT_EQ(elements.size(), 1u);
  CBasicSettings::AttributeList list = Names({"first", "second", "third"});
  list[2].value = Variant::FromText("stale");
  EXPECT_EQ(RecordingSettings::ReadAttributes(elements[0], list), kSOk);
  EXPECT_EQ(list[0].value, Variant::FromText("1"));
  EXPECT_TRUE(list[1].value.IsEmpty());
  EXPECT_TRUE(list[2].value.IsEmpty());
}

CBasicSettings::AttributeList ItemList(Variant id, Variant descr, Variant value) {
  CBasicSettings::AttributeList list = Names({"ID", "DESCR", "VALUE"});
  list[0].value = std::move(id);
  list[1].value = std::move(descr);
  list[2].value = std::move(value);
  return list;
}

TEST(ParseItem, IdTextRules) {
  SettingsItem item;
  EXPECT_TRUE(RecordingSettings::ParseItem(ItemList(Variant::FromText("12abc"), Variant(),
                                                    Variant::FromText("v")),
                                           item));
  EXPECT_EQ(item.ID, 12);
  EXPECT_EQ(item.VALUE, Variant::FromText("v"));
  EXPECT_TRUE(RecordingSettings::ParseItem(
      ItemList(Variant::FromText("abc"), Variant(), Variant()), item));
  EXPECT_EQ(item.ID, 0);
  EXPECT_TRUE(RecordingSettings::ParseItem(
      ItemList(Variant::FromText(std::string(18, '0') + "7"), Variant(), Variant()), item));
  EXPECT_EQ(item.ID, 7);
  EXPECT_FALSE(RecordingSettings::ParseItem(
      ItemList(Variant::FromText(std::string(19, '0') + "7"), Variant(), Variant()), item));
}

TEST(ParseItem, NumbersPassUnconvertedAndAnItemWithoutIdIsDropped) {
  SettingsItem item;
  EXPECT_TRUE(RecordingSettings::ParseItem(
      ItemList(Variant::FromInt32(-4), Variant::FromText("about"), Variant::FromInt32(9)),
      item));
  EXPECT_EQ(item.ID, -4);
  EXPECT_EQ(item.DESCR, "about");
  EXPECT_EQ(item.VALUE, Variant::FromInt32(9));
  EXPECT_FALSE(RecordingSettings::ParseItem(ItemList(Variant(), Variant(), Variant()), item));
  CBasicSettings::AttributeList shortList = Names({"ID", "DESCR"});
  shortList[0].value = Variant::FromText("1");
  EXPECT_FALSE(RecordingSettings::ParseItem(shortList, item));
}

TEST(LoadXmlFile, ReportsSuccessAndTheParserPlaceOnStandardError) {
  TempFolder folder;
  folder.WriteFile("good.xml", "<SETTINGS/>");
  folder.WriteFile("bad.xml", "<SETTINGS>\n  <ITEM ID='1'\n</SETTINGS>");
  XmlDocument document;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(LoadXmlFile(document, folder.Join("good.xml")), kSOk);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "XML document loaded successfully\n");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(LoadXmlFile(document, folder.Join("bad.xml")), platform::kXmlParseFailed);
  const std::string report = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("Error on line 3, position "), std::string::npos) << report;
  EXPECT_NE(report.find(" in \"" + folder.Join("bad.xml") + "\".\n"), std::string::npos);
}

TEST(LoadXmlFile, RejectsWhatIsNotOneWellFormedDocument) {
  TempFolder folder;
  const std::vector<std::string> broken = {
      "", "   \n", "<SETTINGS>", "<A/><B/>", "text only", "<SETTINGS><ITEM ID='1></SETTINGS>",
      "\xff\xfe\x00<"};
  for (size_t i = 0; i < broken.size(); ++i) {
    const std::string path = folder.Join("broken" + std::to_string(i) + ".xml");
    testing::WriteWholeFile(path, broken[i]);
    XmlDocument document;
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(Failed(LoadXmlFile(document, path))) << "case " << i;
    ::testing::internal::GetCapturedStderr();
  }
}

TEST(LoadXmlFile, FilesAboveTheLimitAreRefusedUnread) {
  TempFolder folder;
  const std::string path = folder.Join("huge.xml");
  testing::WriteWholeFile(path, "<SETTINGS/>");
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(platform::kMaxXmlFileBytes) + 1), 0);
  XmlDocument document;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(LoadXmlFile(document, path), platform::kXmlFileTooLarge);
  ::testing::internal::GetCapturedStderr();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(LoadXmlFile(document, folder.Path()), HresultFromWin32(kErrorAccessDenied));
  ::testing::internal::GetCapturedStderr();
}

// ---- The change test over time ----

class SettingsRefresh : public ::testing::Test {
 protected:
  static constexpr const char* kGood = "<SETTINGS><CORESETTINGS>"
                                       "<ITEM ID='81' DESCR='interval' VALUE='15'/>"
                                       "</CORESETTINGS></SETTINGS>";
  void SetUp() override {
    path_ = folder_.Join("CoreSettings.xml");
    testing::WriteFileAt(path_, kGood, kJan2026);
    settings_.SetClock(clock_.Function());
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(settings_.Load(path_), kSOk);
    ::testing::internal::GetCapturedStderr();
  }

  // Writes the file with a last-write time seconds after the first version.
  void Rewrite(const std::string& content, int64_t seconds) {
    testing::WriteFileAt(path_, content, kJan2026 + seconds);
  }
  bool Check(HRESULT expected = kSOk) {
    bool changed = false;
    EXPECT_EQ(settings_.CheckForRefresh(changed), expected);
    return changed;
  }
  HRESULT Reload() {
    ::testing::internal::CaptureStderr();
    const HRESULT result = settings_.Load(path_);
    ::testing::internal::GetCapturedStderr();
    return result;
  }

  TempFolder folder_;
  std::string path_;
  ManualClock clock_{kJan2026 + 3600};
  CCoreSettings settings_;
};

TEST_F(SettingsRefresh, FileIsExaminedOncePerInterval) {
  LogCapture log;
  Rewrite(kGood, 60);
  clock_.Advance(60);
  EXPECT_FALSE(Check());  // one minute after the load: not examined
  clock_.Advance(14 * 60 - 1);
  EXPECT_FALSE(Check());  // 14 minutes 59 seconds
  clock_.Advance(1);
  EXPECT_TRUE(Check());  // 15 minutes
  EXPECT_EQ(log.Count("Reload Settings " + path_ + ". Curent LastModifiedDate 1.1.2026 - 0:1:0:0 "
                      "Interval: 15 minutes"),
            1u);
  EXPECT_EQ(log.Count("Previous LastModifiedDate 1.1.2026 - 0:0:0:0"), 1u);
  ASSERT_EQ(Reload(), kSOk);
  clock_.Advance(15 * 60);
  EXPECT_FALSE(Check());  // unchanged since the reload
}

TEST_F(SettingsRefresh, AnOlderCopyIsNoChange) {
  Rewrite(kGood, -86400);
  clock_.Advance(15 * 60);
  EXPECT_FALSE(Check());
}

TEST_F(SettingsRefresh, IntervalZeroExaminesEveryTimeAndABackwardClockDoesNotStopChecks) {
  settings_.SetRefreshInterval(0);
  Rewrite(kGood, 5);
  EXPECT_TRUE(Check());
  settings_.SetRefreshInterval(15);
  clock_.Advance(-7 * 86400);
  Rewrite(kGood, 10);
  EXPECT_TRUE(Check());
}

TEST_F(SettingsRefresh, ADeletedFileIsLoggedOnEveryCheckUntilItIsBack) {
  LogCapture log;
  ASSERT_EQ(unlink(path_.c_str()), 0);
  clock_.Advance(15 * 60);
  EXPECT_FALSE(Check(HresultFromWin32(kErrorFileNotFound)));
  EXPECT_FALSE(Check(HresultFromWin32(kErrorFileNotFound)));  // no wait: not a completed check
  EXPECT_EQ(log.Count("GetFileDate " + path_), 2u);
  Rewrite(kGood, 120);
  EXPECT_TRUE(Check());
  EXPECT_EQ(log.Count("GetFileDate " + path_), 2u);
}

TEST_F(SettingsRefresh, AChangeThatWasNotLoadedIsReportedAgain) {
  Rewrite(kGood, 60);
  clock_.Advance(15 * 60);
  EXPECT_TRUE(Check());  // the owner's lock was busy: nothing reloaded
  EXPECT_FALSE(Check());  // within the interval
  clock_.Advance(15 * 60);
  EXPECT_TRUE(Check());  // reported again

  Rewrite("<SETTINGS><CORESETTINGS>", 120);  // a half-written file
  clock_.Advance(15 * 60);
  EXPECT_TRUE(Check());
  EXPECT_TRUE(Failed(Reload()));
  clock_.Advance(15 * 60);
  EXPECT_TRUE(Check());  // the failed load did not take the new date

  Rewrite(kGood, 180);
  clock_.Advance(15 * 60);
  EXPECT_TRUE(Check());
  ASSERT_EQ(Reload(), kSOk);
  clock_.Advance(15 * 60);
  EXPECT_FALSE(Check());
}

TEST(SettingsLoadDate, AWriteDuringTheLoadIsSeenByTheNextCheck) {
  TempFolder folder;
  const std::string path = folder.Join("file.xml");
  testing::WriteFileAt(path, "<SETTINGS/>", kJan2026);
  ManualClock clock(kJan2026 + 3600);
  RecordingSettings settings;
  settings.SetClock(clock.Function());
  FileTime before;
  ASSERT_EQ(settings.BeginLoad(path, before), kSOk);
  testing::SetLastWriteTime(path, kJan2026 + 30);  // written while the old content was parsed
  settings.CommitLoadDate(before);
  EXPECT_EQ(settings.FileDate(), platform::FileTimeFromUnix(kJan2026, 0));
  clock.Advance(15 * 60);
  bool changed = false;
  EXPECT_EQ(settings.CheckForRefresh(changed), kSOk);
  EXPECT_TRUE(changed);
}

TEST(SettingsLoadDate, AFileGoneAfterParsingKeepsTheDateItWasReadWith) {
  TempFolder folder;
  const std::string path = folder.Join("file.xml");
  testing::WriteFileAt(path, "<SETTINGS/>", kJan2026);
  RecordingSettings settings;
  LogCapture log;
  FileTime before;
  ASSERT_EQ(settings.BeginLoad(path, before), kSOk);
  ASSERT_EQ(unlink(path.c_str()), 0);
  settings.CommitLoadDate(before);
  EXPECT_EQ(settings.FileDate(), platform::FileTimeFromUnix(kJan2026, 0));
  EXPECT_EQ(log.Count("CBasicSettings::HashFileDate failed to read filedate " + path +
                      ". HR 0x80070002"),
            1u);
}

TEST(SettingsLoadDate, AMissingFileIsLoggedWithErrorTwo) {
  TempFolder folder;
  RecordingSettings settings;
  LogCapture log;
  FileTime before;
  EXPECT_EQ(settings.BeginLoad(folder.Join("none.xml"), before), kSettingsFileNotFound);
  EXPECT_EQ(settings.FileName(), folder.Join("none.xml"));
  EXPECT_EQ(log.Count("Load LoadSettings can not find file " + folder.Join("none.xml") +
                      " error 2"),
            1u);
}

}  // namespace
}  // namespace nexoral
