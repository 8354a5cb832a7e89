// The core settings file: its schema read into the tables, the merging of repeated service
// workers, the default custom properties, the lookups, and files that must not change anything.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "harness/diagnostics_capture.h"
#include "harness/temp_folder.h"
#include "platform/error_codes.h"
#include "platform/xml_document.h"
#include "settings/core_items.h"
#include "settings/core_settings.h"

namespace nexoral {
namespace {

using testing::LogCapture;
using testing::TempFolder;

// Loads text as a core settings file, keeping the parser's report off the test output.
class CoreSettingsFile : public ::testing::Test {
 protected:
  HRESULT LoadText(const std::string& text) {
    folder_.WriteFile("CoreSettings.xml", text);
    return LoadPath(folder_.Join("CoreSettings.xml"));
  }
  HRESULT LoadPath(const std::string& path) {
    ::testing::internal::CaptureStderr();
    const HRESULT result = settings_.Load(path);
    ::testing::internal::GetCapturedStderr();
    return result;
  }
  int32_t Number(int32_t id) {
    int32_t value = -999;
    EXPECT_TRUE(settings_.GetItemValue(id, value)) << "item " << id;
    return value;
  }
  std::string Text(int32_t id) {
    std::string value;
    EXPECT_TRUE(settings_.GetItemValue(id, value)) << "item " << id;
    return value;
  }

  TempFolder folder_;
  CCoreSettings settings_;
};

constexpr const char kFullFile[] = R"(<?xml version="1.0" encoding="utf-8"?>
<SETTINGS>
  <CORESETTINGS>
    <ITEM ID="14" DESCR="log switch" VALUE="1"/>
    <ITEM ID="23" DESCR="log name" VALUE="Common.log"/>
    <ITEM ID="14" DESCR="log switch again" VALUE="10"/>
    <ITEM ID="12abc" DESCR="id with letters" VALUE="2"/>
    <ITEM ID="77" VALUE="ignored: no DESCR stops the reading"/>
    <ITEM ID="12345678901234567890" DESCR="id too long" VALUE="x"/>
  </CORESETTINGS>
  <EXCLUSIONS>
    <EXCLUDEINFO Type="99" PARAM="outside any rule"/>
    <EXCLUDE FOLDER="owa/auth" FOLDERONLY="1" Type="3">
      <EXCLUDEINFO Type="4" PARAM="a;;b" SUBFOLDER="sub" EXTENSIONS="js;CSS"/>
    </EXCLUDE>
    <EXCLUDE FOLDER="public" Type="5"/>
  </EXCLUSIONS>
  <SERVICEWORKERS>
    <SERVICEWORKER ID="20" DESCR="Second">
      <ITEM ID="1" DESCR="module" VALUE="Nexoral/workers/second.so"/>
      <ITEM ID="3" DESCR="order" VALUE="10"/>
      <CUSTOMPROPERTIES>
        <PROPERTY ID="2" NAME="b" TYPE="31" GUID="{G2}" VALUE="x"/>
      </CUSTOMPROPERTIES>
    </SERVICEWORKER>
    <SERVICEWORKER ID="10" DESCR="First">
      <ITEM ID="3" DESCR="order" VALUE="20"/>
      <ITEM ID="6" DESCR="pools" VALUE="PoolA;PoolB"/>
      <CUSTOMPROPERTIES>
        <PROPERTY ID="1" NAME="a" TYPE="3" GUID="{G1}" VALUE="1"/>
        <PROPERTY ID="5" NAME="" TYPE="3" GUID="{G1}" VALUE="unnamed"/>
      </CUSTOMPROPERTIES>
      <CUSTOMPROPERTIES>
        <PROPERTY ID="9" NAME="second-list" TYPE="3" GUID="{G1}" VALUE="not read"/>
      </CUSTOMPROPERTIES>
      <SEACHINFO Type="98" PARAM="not under SUBSCRIBE"/>
      <SUBSCRIBTIONS>
        <SUBSCRIBE FOLDER="owa" FOLDERONLY="0" Type="7">
          <SEACHINFO Type="8" PARAM="ae;t" SUBFOLDER="" EXTENSIONS=""/>
          <SEACHINFO Type="9" EXTENSIONS="ignored: reading stopped at PARAM"/>
        </SUBSCRIBE>
        <EXCLUDE FOLDER="owa/attach" FOLDERONLY="1" Type="11"/>
      </SUBSCRIBTIONS>
    </SERVICEWORKER>
    <SERVICEWORKER ID="20" DESCR="Second renamed">
      <ITEM ID="3" DESCR="order" VALUE="30"/>
      <ITEM ID="4" DESCR="name" VALUE="Shown"/>
      <CUSTOMPROPERTIES>
        <PROPERTY ID="3" NAME="c" TYPE="31" GUID="{G2}" VALUE="y"/>
      </CUSTOMPROPERTIES>
      <SUBSCRIBTIONS>
        <SUBSCRIBE FOLDER="ews" FOLDERONLY="1" Type="12"/>
      </SUBSCRIBTIONS>
    </SERVICEWORKER>
    <SERVICEWORKER DESCR="no id: skipped with its content">
      <ITEM ID="1" DESCR="module" VALUE="lost.so"/>
    </SERVICEWORKER>
  </SERVICEWORKERS>
</SETTINGS>
)";

TEST_F(CoreSettingsFile, CoreItemsLaterItemWinsAndIdRules) {
  ASSERT_EQ(LoadText(kFullFile), kSOk);
  EXPECT_EQ(Number(kItemLogSwitch), 10);
  EXPECT_EQ(Text(kItemLogFileName), "Common.log");
  EXPECT_EQ(Number(kItemLogOutput), 2);
  // Without DESCR the reading stopped: the item is there, its value is not.
  std::string text = "unchanged";
  EXPECT_EQ(settings_.CoreItems().count(ID_INGNORE_USER_AGENTS), 1u);
  EXPECT_FALSE(settings_.GetItemValue(ID_INGNORE_USER_AGENTS, text));
  EXPECT_EQ(text, "unchanged");
  EXPECT_EQ(settings_.CoreItems().size(), 4u);
  int32_t number = 0;
  EXPECT_FALSE(settings_.GetItemValue(kItemLogFolder, number));
  EXPECT_FALSE(settings_.GetItemValue(kItemLogFolder, text));
}

TEST_F(CoreSettingsFile, ExclusionsAndTheirInfos) {
  ASSERT_EQ(LoadText(kFullFile), kSOk);
  const FolderRuleList& rules = settings_.CoreExclusions();
  ASSERT_EQ(rules.size(), 2u);
  EXPECT_EQ(rules[0].Folder, "owa/auth");
  EXPECT_TRUE(rules[0].FolderOnly);
  EXPECT_EQ(rules[0].Type, 3);
  ASSERT_EQ(rules[0].Infos.size(), 1u);
  EXPECT_EQ(rules[0].Infos[0].Type, 4);
  EXPECT_EQ(rules[0].Infos[0].Params, (std::vector<std::string>{"a"}));
  EXPECT_EQ(rules[0].Infos[0].SubFolder, "sub");
  EXPECT_EQ(rules[0].Infos[0].Extensions, (std::vector<std::string>{"js", "CSS"}));
  // No FOLDERONLY: the reading stopped there, so Type was not read either.
  EXPECT_EQ(rules[1].Folder, "public");
  EXPECT_FALSE(rules[1].FolderOnly);
  EXPECT_EQ(rules[1].Type, 0);
}

TEST_F(CoreSettingsFile, RepeatedServiceWorkerIsMergedAndKeepsItsFirstPlace) {
  ASSERT_EQ(LoadText(kFullFile), kSOk);
  EXPECT_EQ(settings_.ServiceWorkerOrder(), (std::vector<int32_t>{20, 10}));
  ASSERT_EQ(settings_.ServiceWorkers().size(), 2u);
  const ServiceWorkerSettingsHandle second = settings_.GetServiceWorker(20);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Name, "Second renamed");
  int32_t order = 0;
  EXPECT_TRUE(settings_.GetServiceWorkerItemValue(20, kWorkerItemOrder, order));
  EXPECT_EQ(order, 30);
  std::string module;
  EXPECT_TRUE(settings_.GetServiceWorkerItemValue(20, kWorkerItemModulePath, module));
  EXPECT_EQ(module, "Nexoral/workers/second.so");
  ASSERT_EQ(second->CustomProperties.size(), 2u);
  EXPECT_EQ(second->CustomProperties[1].Name, "c");
  ASSERT_EQ(settings_.GetSubscriptions(20).size(), 1u);
  EXPECT_EQ(settings_.GetSubscriptions(20)[0].Folder, "ews");
  EXPECT_FALSE(settings_.GetServiceWorker(0));  // the element without an id made none
}

TEST_F(CoreSettingsFile, ServiceWorkerRulesAndProperties) {
  ASSERT_EQ(LoadText(kFullFile), kSOk);
  const FolderRuleList& subscriptions = settings_.GetSubscriptions(10);
  ASSERT_EQ(subscriptions.size(), 1u);
  EXPECT_EQ(subscriptions[0].Folder, "owa");
  EXPECT_FALSE(subscriptions[0].FolderOnly);
  EXPECT_EQ(subscriptions[0].Type, 7);
  ASSERT_EQ(subscriptions[0].Infos.size(), 2u);
  EXPECT_EQ(subscriptions[0].Infos[0].Params, (std::vector<std::string>{"ae", "t"}));
  EXPECT_TRUE(subscriptions[0].Infos[0].Extensions.empty());
  EXPECT_EQ(subscriptions[0].Infos[1].Type, 9);
  EXPECT_TRUE(subscriptions[0].Infos[1].Extensions.empty());
  const FolderRuleList& exclusions = settings_.GetExclusions(10);
  ASSERT_EQ(exclusions.size(), 1u);
  EXPECT_EQ(exclusions[0].Folder, "owa/attach");
  EXPECT_EQ(exclusions[0].Type, 11);

  const ServiceWorkerSettingsHandle first = settings_.GetServiceWorker(10);
  ASSERT_EQ(first->CustomProperties.size(), 2u);  // the second CUSTOMPROPERTIES is not read
  const CustomPropertyDef& a = first->CustomProperties[0];
  EXPECT_EQ(a.ServiceWorkerId, 10);
  EXPECT_EQ(a.ID, 1);
  EXPECT_EQ(a.Type, 3);
  EXPECT_EQ(a.Guid, "{G1}");
  EXPECT_EQ(a.Value, "1");
  EXPECT_FALSE(a.Loaded);

  EXPECT_TRUE(settings_.GetSubscriptions(42).empty());
  EXPECT_TRUE(settings_.GetExclusions(42).empty());
  std::string text;
  EXPECT_FALSE(settings_.GetServiceWorkerItemValue(42, kWorkerItemModulePath, text));
  EXPECT_FALSE(settings_.GetServiceWorkerItemValue(10, kWorkerItemModulePath, text));
}

TEST_F(CoreSettingsFile, DefaultCustomPropertiesByAscendingServiceWorkerId) {
  LogCapture log;
  ASSERT_EQ(LoadText(kFullFile), kSOk);
  EXPECT_EQ(settings_.DefaultCustomProperties(), "<SETTINGS><a>1</a><b>x</b><c>y</c></SETTINGS>");
  const std::vector<CustomPropertyDef>& table = settings_.CustomPropertyTable();
  ASSERT_EQ(table.size(), 4u);  // the unnamed one too
  EXPECT_EQ(table[0].ServiceWorkerId, 10);
  EXPECT_EQ(table[1].Value, "unnamed");
  EXPECT_EQ(table[3].Name, "c");
  EXPECT_EQ(log.Count("GetDefaultCustomProperties got an empty property name for SW 10 First"),
            1u);
}

TEST_F(CoreSettingsFile, PropertiesWithOnlyEmptyNamesGiveAnEmptySettingsElement) {
  ASSERT_EQ(LoadText("<SETTINGS><SERVICEWORKERS><SERVICEWORKER ID='1' DESCR='w'>"
                     "<CUSTOMPROPERTIES><PROPERTY ID='1' NAME='' TYPE='1' GUID='g' VALUE='v'/>"
                     "</CUSTOMPROPERTIES></SERVICEWORKER></SERVICEWORKERS></SETTINGS>"),
            kSOk);
  EXPECT_EQ(settings_.DefaultCustomProperties(), "<SETTINGS></SETTINGS>");
}

TEST_F(CoreSettingsFile, AnEmptySettingsElementLoadsEmptyTables) {
  ASSERT_EQ(LoadText(kFullFile), kSOk);
  ASSERT_EQ(LoadText("<SETTINGS/>"), kSOk);
  EXPECT_TRUE(settings_.CoreItems().empty());
  EXPECT_TRUE(settings_.ServiceWorkers().empty());
  EXPECT_TRUE(settings_.ServiceWorkerOrder().empty());
  EXPECT_TRUE(settings_.CoreExclusions().empty());
  EXPECT_EQ(settings_.DefaultCustomProperties(), "");
  EXPECT_TRUE(settings_.CustomPropertyTable().empty());
}

// What a good load left, to compare after a failed one.
struct Snapshot {
  size_t items, workers, exclusions;
  std::string defaults;
  bool operator==(const Snapshot&) const = default;
};

Snapshot Take(const CCoreSettings& settings) {
  return {settings.CoreItems().size(), settings.ServiceWorkers().size(),
          settings.CoreExclusions().size(), settings.DefaultCustomProperties()};
}

TEST_F(CoreSettingsFile, BrokenFilesChangeNothingAndAreLogged) {
  ASSERT_EQ(LoadText(kFullFile), kSOk);
  const Snapshot good = Take(settings_);
  const std::string full = kFullFile;
  const std::vector<std::string> broken = {
      "",
      full.substr(0, full.size() / 2),
      full.substr(0, full.size() - 3),
      "<SETTINGS><CORESETTINGS><ITEM ID='1' DESCR='d' VALUE='v'></CORESETTINGS></SETTINGS>",
      "<SETTINGS/><SETTINGS/>",
      std::string("<SETTINGS>\0</SETTINGS>", 22),
  };
  for (const std::string& text : broken) {
    LogCapture log;
    EXPECT_TRUE(Failed(LoadText(text)));
    EXPECT_EQ(log.Count("LoadCoreSettings HRESULT exception 8007000d"), 1u)
        << text.substr(0, 40);
    EXPECT_EQ(Take(settings_), good);
  }
}

TEST_F(CoreSettingsFile, MissingHugeAndUnreadableFilesChangeNothing) {
  ASSERT_EQ(LoadText(kFullFile), kSOk);
  const Snapshot good = Take(settings_);
  LogCapture log;
  EXPECT_EQ(LoadPath(folder_.Join("absent.xml")), kSettingsFileNotFound);
  EXPECT_EQ(log.Count("Load LoadSettings can not find file " + folder_.Join("absent.xml") +
                      " error 2"),
            1u);
  EXPECT_EQ(log.Count("LoadCoreSettings"), 0u);

  const std::string huge = folder_.Join("huge.xml");
  testing::WriteWholeFile(huge, "<SETTINGS/>");
  ASSERT_EQ(truncate(huge.c_str(), static_cast<off_t>(platform::kMaxXmlFileBytes) + 1), 0);
  EXPECT_EQ(LoadPath(huge), platform::kXmlFileTooLarge);
  EXPECT_EQ(log.Count("LoadCoreSettings HRESULT exception 800700df"), 1u);

  EXPECT_TRUE(Failed(LoadPath(folder_.Path())));  // a folder, not a file
  EXPECT_EQ(Take(settings_), good);
}

TEST_F(CoreSettingsFile, ALargeValidFileLoadsWhole) {
  std::string text = "<SETTINGS><CORESETTINGS>";
  for (int id = 0; id < 50000; ++id) {
    text += "<ITEM ID='" + std::to_string(id) + "' DESCR='d' VALUE='" + std::to_string(id * 2) +
            "'/>";
  }
  text += "</CORESETTINGS><SERVICEWORKERS>";
  for (int id = 0; id < 2000; ++id) {
    text += "<SERVICEWORKER ID='" + std::to_string(id) + "' DESCR='w'><SUBSCRIBTIONS>"
            "<SUBSCRIBE FOLDER='f' FOLDERONLY='1' Type='1'/></SUBSCRIBTIONS></SERVICEWORKER>";
  }
  text += "</SERVICEWORKERS></SETTINGS>";
  ASSERT_EQ(LoadText(text), kSOk);
  EXPECT_EQ(settings_.CoreItems().size(), 50000u);
  EXPECT_EQ(Number(49999), 99998);
  EXPECT_EQ(settings_.ServiceWorkerOrder().size(), 2000u);
}

TEST_F(CoreSettingsFile, DeepNestingAndUnknownElementsAreHarmless) {
  std::string deep;
  for (int i = 0; i < 20000; ++i) deep += "<X>";
  for (int i = 0; i < 20000; ++i) deep += "</X>";
  ASSERT_EQ(LoadText("<SETTINGS><OTHER a='1'/>" + deep +
                     "<CORESETTINGS><ITEM ID='1' DESCR='d' VALUE='v' EXTRA='e'/></CORESETTINGS>"
                     "</SETTINGS>"),
            kSOk);
  EXPECT_EQ(Text(1), "v");
}

TEST_F(CoreSettingsFile, EscapedAndNonAsciiTextsArriveDecoded) {
  ASSERT_EQ(LoadText("<SETTINGS><CORESETTINGS>"
                     "<ITEM ID='82' DESCR='headers' VALUE='X-A:1&amp;2;X-B:&lt;b&gt;'/>"
                     "<ITEM ID='23' DESCR='name' VALUE='Journal-\xc3\xa9t\xc3\xa9.log'/>"
                     "</CORESETTINGS></SETTINGS>"),
            kSOk);
  EXPECT_EQ(Text(ID_ADD_HEADERS), "X-A:1&2;X-B:<b>");
  EXPECT_EQ(Text(kItemLogFileName), "Journal-\xc3\xa9t\xc3\xa9.log");
}

TEST(DemoCoreSettings, TheShippedFileLoadsWithItsServiceWorkerAndRules) {
  CCoreSettings settings;
  ::testing::internal::CaptureStderr();
  const HRESULT result = settings.Load(NEXORAL_DEMO_CORE_SETTINGS);
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(result, kSOk);
  int32_t logSwitch = 0;
  EXPECT_TRUE(settings.GetItemValue(kItemLogSwitch, logSwitch));
  EXPECT_FALSE(settings.CoreExclusions().empty());
  ASSERT_FALSE(settings.ServiceWorkerOrder().empty());
  const int32_t worker = settings.ServiceWorkerOrder().front();
  std::string module;
  EXPECT_TRUE(settings.GetServiceWorkerItemValue(worker, kWorkerItemModulePath, module));
  EXPECT_FALSE(settings.GetSubscriptions(worker).empty());
  EXPECT_NE(settings.DefaultCustomProperties().find("<SETTINGS>"), std::string::npos);
}

}  // namespace
}  // namespace nexoral
