// The settings files: the rules for values, ";" lists and URL folder rules; the core settings
// file's schema read into the tables, files that must change nothing, the shipped
// demonstration file, and the change test of a settings file over time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "harness/diagnostics_capture.h"
#include "harness/temp_folder.h"
#include "platform/error_codes.h"
#include "settings/core_settings.h"
#include "settings/folder_subscription.h"
#include "settings/split_string.h"
#include "settings/value_rules.h"

namespace nexoral {
namespace {

using platform::kXmlParseFailed;
using testing::LogCapture;

constexpr int64_t kJan2026 = 1767225600;  // 2026-01-01 00:00:00 UTC

class ExposedSettings : public CCoreSettings {
 public:
  using CBasicSettings::BeginLoad;
  using CBasicSettings::CommitLoadDate;
  using CBasicSettings::ParseItem;
};

Variant T(std::string text) { return Variant::FromText(std::move(text)); }
Variant N(int32_t number) { return Variant::FromInt32(number); }
constexpr int32_t kUnread = -999;  // what an integer field keeps when the value is refused

// Integer fields take numbers and atoi-read texts (saturating), text fields texts only, a
// flag is set by "1" or 1 alone; ";" lists stop at their first empty piece.
TEST(ValueRules, FieldsFlagsAndLists) {
  const std::vector<std::tuple<Variant, int32_t, bool>> values = {
      {T("12abc"), 12, false}, {T("abc"), 0, false}, {T(""), 0, false},
      {T(" \t\r\n42"), 42, false}, {T("-17x"), -17, false}, {T("+8"), 8, false},
      {T("- 5"), 0, false}, {T("2147483647"), INT32_MAX, false},
      {T("2147483648"), INT32_MAX, false}, {T("-2147483648"), INT32_MIN, false},
      {T("-2147483649"), INT32_MIN, false}, {T(std::string(5000, '9')), INT32_MAX, false},
      {T("1"), 1, true}, {T(" 1"), 1, false}, {T("01"), 1, false},
      {N(-3), -3, false}, {N(1), 1, true}, {N(2), 2, false}, {Variant(), kUnread, false},
  };
  for (const auto& [value, integer, flag] : values) {
    const std::string what = value.IsText() ? value.Text().substr(0, 20) : "number or empty";
    int32_t number = kUnread;
    std::string text = "kept";
    EXPECT_EQ(ReadIntegerValue(value, number), !value.IsEmpty()) << what;
    EXPECT_EQ(ReadTextValue(value, text), value.IsText()) << what;
    EXPECT_EQ(number, integer) << what;
    EXPECT_EQ(text, value.IsText() ? value.Text() : "kept") << what;
    EXPECT_EQ(IsFlagSet(value), flag) << what;
  }
  using Pieces = std::vector<std::string>;
  const std::vector<std::pair<std::string, Pieces>> lists = {
      {"a;b;c", {"a", "b", "c"}}, {"a;b;", {"a", "b"}}, {"a;;b", {"a"}}, {";a", {"a"}},
      {";;a", {}}, {"js", {"js"}}, {"a b;c d", {"a b", "c d"}}, {"", {}},
  };
  for (const auto& [text, expected] : lists) {
    Pieces pieces;
    EXPECT_EQ(SplitString(text, ";", pieces), !text.empty()) << text;
    EXPECT_EQ(pieces, expected) << text;
  }
}

// A request against a rule list: the type of the rule or info that decided, 0 when none did.
// Folders are found at a separator or the start, with case; within a rule the first info that
// matches decides, then folder-only; every rule is tried and a later match wins.
TEST(FolderSubscription, RequestsAgainstRuleLists) {
  const std::vector<FolderRuleList> lists = {
      {{5, true, "owa", {}}}, {{5, false, "owa", {}}},
      {{5, false, "owa", {{6, "", {}, {"js", "css"}}}}},
      {{5, false, "owa", {{6, "", {"ae"}, {"js"}}}}},
      {{5, false, "owa", {{6, "", {"ae", "t"}, {}}}}},
      {{5, false, "owa", {{6, "calendar", {"ae"}, {}}}}},
      {{5, false, "", {{6, "calendar", {}, {}}}}},
      {{5, true, "owa", {{6, "", {"missing"}, {}}, {7, "", {}, {"js"}}, {8, "", {}, {"js"}}}}},
      {{5, true, "owa", {}}, {6, true, "nope", {}}, {9, true, "inbox", {}}},
  };
  // The list, the URL, its extension and query parameters, the deciding type.
  const std::vector<
      std::tuple<size_t, std::string, std::string, std::map<std::string, std::string>, DWORD>>
      rows = {
          {0, "/owa/inbox/x.aspx", "", {}, 5}, {0, "owa/", "", {}, 5}, {0, "/owax/", "", {}, 0},
          {0, "\\owa\\x", "", {}, 5}, {0, "/owa?ae=Item", "", {}, 5}, {0, "/xowa/", "", {}, 0},
          {0, "/owa", "", {}, 5}, {0, "/owax", "", {}, 5},  // one character after: no boundary
          {0, "/xowa/owa/", "", {}, 0}, {0, "/OWA/", "", {}, 0}, {0, "", "", {}, 0},
          {1, "/owa/", "", {}, 0}, {2, "/owa/scripts/a.JS", "JS", {}, 6},
          {2, "/owa/a.jsx", "jsx", {}, 0}, {2, "/owa/a", "", {}, 0},
          {3, "/owa/a.htm", "htm", {{"ae", "Item"}}, 0}, {3, "/owa/", "", {{"ae", "Item"}}, 6},
          {4, "/owa/", "", {{"ae", "Item"}, {"t", "IPM.Note"}, {"x", ""}}, 6},
          {4, "/owa/", "", {{"ae", "Item"}}, 0}, {4, "/owa/", "", {{"ae", "Item"}, {"t", ""}}, 0},
          {4, "/owa/", "", {{"AE", "Item"}, {"T", "x"}}, 0}, {5, "/owa/calendar/", "", {}, 6},
          {5, "/owa/x/calendar?v=1", "", {}, 6}, {5, "/owa/calendar", "", {}, 6},
          {5, "/owa/calendars/", "", {{"ae", "Item"}}, 0}, {5, "/owa/mycalendar/", "", {}, 0},
          {5, "/calendar/owa/", "", {}, 0}, {6, "calendar/", "", {}, 0},
          {7, "/owa/a.js", "js", {}, 7}, {7, "/owa/a.gif", "gif", {}, 5},
          {8, "/owa/inbox/", "", {}, 9}, {8, "/owa/other/", "", {}, 5},
      };
  for (const auto& [list, url, extension, parameters, matchedBy] : rows) {
    SubscriptionMatch match{.ServiceWorkerId = 77};
    const bool result = CheckFolderSubscription(url, extension, match, lists[list], parameters);
    EXPECT_EQ(result, matchedBy != 0) << url << " against list " << list;
    EXPECT_EQ(match.MatchedBy, matchedBy) << url << " against list " << list;
    EXPECT_TRUE(match.Subscribed == (result ? 1u : 0u) && match.ServiceWorkerId == 77u) << url;
  }
}

// The tables on one line, through the lookups: " id:descr=text/number" per item (- when
// there is none), " X" per exclusion and " S" per subscription (folder,folder-only,type
// [infos]), " Wid:name{items properties rules}" per service worker in file order, " P" per
// property, then the default properties text and the property table.
std::string Dump(const CCoreSettings& settings) {
  std::ostringstream out;
  const auto items = [&](const SettingsItemMap& map, const auto& lookup) {
    for (const auto& [id, item] : map) {
      std::string text;
      int32_t number = 0;
      out << " " << id << ":" << item.DESCR << "=" << (lookup(id, text) ? text : "-") << "/"
          << (lookup(id, number) ? std::to_string(number) : "-");
    }
  };
  const auto rules = [&](const char* kind, const FolderRuleList& list) {
    for (const FolderRule& rule : list) {
      out << " " << kind << rule.Folder << "," << rule.FolderOnly << "," << rule.Type;
      for (const FolderRuleInfo& info : rule.Infos) {
        out << "[" << info.Type << ",";
        for (const std::string& name : info.Params) out << name << ";";
        out << "," << info.SubFolder << ",";
        for (const std::string& extension : info.Extensions) out << extension << ";";
        out << "]";
      }
    }
  };
  items(settings.CoreItems(),
        [&](int32_t id, auto& value) { return settings.GetItemValue(id, value); });
  rules("X", settings.CoreExclusions());
  for (int32_t id : settings.ServiceWorkerOrder()) {
    const ServiceWorkerSettingsHandle worker = settings.GetServiceWorker(id);
    out << " W" << id << ":" << worker->Name << "{";
    items(worker->Items, [&](int32_t item, auto& value) {
      return settings.GetServiceWorkerItemValue(id, item, value);
    });
    for (const CustomPropertyDef& p : worker->CustomProperties) {
      out << " P" << p.ID << ":" << p.Name << "," << p.Type << "," << p.Guid << "=" << p.Value
          << (p.Loaded ? "!" : "");
    }
    rules("S", settings.GetSubscriptions(id));
    rules("X", settings.GetExclusions(id));
    out << "}";
  }
  out << " " << settings.DefaultCustomProperties();
  for (const CustomPropertyDef& p : settings.CustomPropertyTable()) {
    out << " " << p.ServiceWorkerId << "/" << p.ID;
  }
  return settings.ServiceWorkers().size() == settings.ServiceWorkerOrder().size() ? out.str() : "?";
}

class CoreSettingsFile : public ::testing::Test {
 protected:
  // Loads the file at path, keeping the parser's report in stderr_.
  HRESULT LoadPath(const std::string& path) {
    ::testing::internal::CaptureStderr();
    const HRESULT result = settings_.Load(path);
    stderr_ = ::testing::internal::GetCapturedStderr();
    return result;
  }
  HRESULT LoadText(const std::string& text) {
    folder_.WriteFile("CoreSettings.xml", text);
    return LoadPath(folder_.Join("CoreSettings.xml"));
  }

  testing::TempFolder folder_;
  ExposedSettings settings_;
  std::string stderr_;
};

// Each file is loaded over what the one before left: the tables are replaced, never merged.
// Attributes are read in order up to the first one missing.
TEST_F(CoreSettingsFile, FilesAndTheTablesTheyGive) {
  std::string deep;
  for (int i = 0; i < 20000; ++i) deep += "<X>";
  for (int i = 0; i < 20000; ++i) deep += "</X>";
  // The file's content below SETTINGS, the tables.
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"<CORESETTINGS><ITEM ID='14' DESCR='a' VALUE='1'/><ITEM ID='14' DESCR='b' VALUE='10'/>"
       "<ITEM ID='12abc' DESCR='c' VALUE='2'/><ITEM ID='abc' DESCR='d' VALUE='3'/>"
       "<ITEM ID='0000000000000000007' DESCR='e' VALUE='4'/><ITEM ID='12345678901234567890' "
       "DESCR='f' VALUE='5'/><ITEM ID='77' VALUE='6'/><ITEM DESCR='g' VALUE='7'/></CORESETTINGS>",
       " 0:d=3/3 7:e=4/4 12:c=2/2 14:b=10/10 77:=-/- "},
      {"<EXCLUSIONS><EXCLUDEINFO Type='99' PARAM='outside'/><EXCLUDE FOLDER='owa/auth' "
       "FOLDERONLY='1' Type='3'><EXCLUDEINFO Type='4' PARAM='a;;b' SUBFOLDER='sub' "
       "EXTENSIONS='js;CSS'/></EXCLUDE><EXCLUDE FOLDER='public' Type='5'/></EXCLUSIONS>",
       " Xowa/auth,1,3[4,a;,sub,js;CSS;] Xpublic,0,0 "},
      {"<SERVICEWORKERS><SERVICEWORKER ID='20' DESCR='Second'><ITEM ID='1' DESCR='m' VALUE='a.so'/>"
       "<ITEM ID='3' DESCR='order' VALUE='10'/><CUSTOMPROPERTIES><PROPERTY ID='2' NAME='b' "
       "TYPE='31' GUID='{G2}' VALUE='x'/></CUSTOMPROPERTIES></SERVICEWORKER>"
       "<SERVICEWORKER ID='10' DESCR='First'><CUSTOMPROPERTIES><PROPERTY ID='1' NAME='a' TYPE='3' "
       "GUID='{G1}' VALUE='1'/><PROPERTY ID='5' NAME='' TYPE='3' GUID='{G1}' VALUE='unnamed'/>"
       "</CUSTOMPROPERTIES><CUSTOMPROPERTIES><PROPERTY ID='9' NAME='second' TYPE='3' GUID='{G1}' "
       "VALUE='not read'/></CUSTOMPROPERTIES><SEACHINFO Type='98' PARAM='outside'/><SUBSCRIBTIONS>"
       "<SUBSCRIBE FOLDER='owa' FOLDERONLY='0' Type='7'><SEACHINFO Type='8' PARAM='ae;t' "
       "SUBFOLDER='' EXTENSIONS=''/><SEACHINFO Type='9' EXTENSIONS='after no PARAM'/></SUBSCRIBE>"
       "<EXCLUDE FOLDER='owa/attach' FOLDERONLY='1' Type='11'/></SUBSCRIBTIONS></SERVICEWORKER>"
       "<SERVICEWORKER ID='20' DESCR='Renamed'><ITEM ID='3' DESCR='order' VALUE='30'/>"
       "<CUSTOMPROPERTIES><PROPERTY ID='3' NAME='c' TYPE='31' GUID='{G2}' VALUE='y'/>"
       "</CUSTOMPROPERTIES><SUBSCRIBTIONS><SUBSCRIBE FOLDER='ews' FOLDERONLY='1' Type='12'/>"
       "</SUBSCRIBTIONS></SERVICEWORKER><SERVICEWORKER DESCR='no id: skipped with its content'>"
       "<ITEM ID='1' DESCR='m' VALUE='lost.so'/></SERVICEWORKER></SERVICEWORKERS>",
       " W20:Renamed{ 1:m=a.so/0 3:order=30/30 P2:b,31,{G2}=x P3:c,31,{G2}=y Sews,1,12} W10:First{ "
       "P1:a,3,{G1}=1 P5:,3,{G1}=unnamed Sowa,0,7[8,ae;t;,,][9,,,] Xowa/attach,1,11} "
       "<SETTINGS><a>1</a><b>x</b><c>y</c></SETTINGS> 10/1 10/5 20/2 20/3"},
      {"<SERVICEWORKERS><SERVICEWORKER ID='1' DESCR='w'><CUSTOMPROPERTIES><PROPERTY ID='1' "
       "NAME='' TYPE='1' GUID='g' VALUE='v'/></CUSTOMPROPERTIES></SERVICEWORKER>"
       "<SERVICEWORKER ID='2' DESCR='v'/></SERVICEWORKERS>",
       " W1:w{ P1:,1,g=v} W2:v{} <SETTINGS></SETTINGS> 1/1"},
      {"", " "},
      {"<CORESETTINGS><ITEM ID='82' DESCR='h' VALUE='X-A:1&amp;2;X-B:&lt;b&gt;'/><ITEM ID='23' "
       "DESCR='\xc3\xa9' VALUE='Journal-\xc3\xa9.log'/></CORESETTINGS>",
       " 23:\xc3\xa9=Journal-\xc3\xa9.log/0 82:h=X-A:1&2;X-B:<b>/0 "},
      {"<OTHER a='1'/>" + deep + "<CORESETTINGS><ITEM ID='1' DESCR='d' VALUE='v' E='e'/>"
       "</CORESETTINGS>", " 1:d=v/0 "},
  };
  for (const auto& [content, dump] : rows) {
    EXPECT_EQ(LoadText("<SETTINGS>" + content + "</SETTINGS>"), kSOk) << content.substr(0, 60);
    EXPECT_EQ(stderr_, "XML document loaded successfully\n");
    EXPECT_EQ(Dump(settings_), dump) << content.substr(0, 60);
  }
  SettingsItem item;  // its fields receive what the lookups find
  EXPECT_FALSE(settings_.GetServiceWorkerItemValue(42, 1, item.DESCR) ||
               settings_.GetServiceWorkerItemValue(42, 1, item.ID));
  EXPECT_TRUE(settings_.GetSubscriptions(42).empty() && settings_.GetExclusions(42).empty());
  // Ids that come as numbers pass unconverted; a list that is not ID, DESCR, VALUE is refused.
  CBasicSettings::AttributeList list = {{"ID", Variant::FromInt32(-4)}, {"DESCR", Variant()}};
  EXPECT_FALSE(ExposedSettings::ParseItem(list, item));
  list.push_back({"VALUE", Variant::FromInt32(9)});
  EXPECT_TRUE(ExposedSettings::ParseItem(list, item) && item.ID == -4);
  EXPECT_EQ(item.VALUE, list[2].value);
}

// A file that cannot be loaded leaves the tables as they were, with the reason in the log.
TEST_F(CoreSettingsFile, FilesThatChangeNothing) {
  const std::string full = "<SETTINGS><CORESETTINGS><ITEM ID='1' DESCR='d' VALUE='v'/>"
                           "</CORESETTINGS></SETTINGS>";
  const std::string parse = "LoadCoreSettings HRESULT exception 8007000d";
  const std::string absent = "Load LoadSettings can not find file " + folder_.Join("absent.xml");
  // The text ("<missing>", "<folder>", "<huge>": files that are not texts), the result, the log.
  const std::vector<std::tuple<std::string, HRESULT, std::string>> rows = {
      {"", kXmlParseFailed, parse}, {"text only", kXmlParseFailed, parse},
      {full.substr(0, full.size() / 2), kXmlParseFailed, parse},
      {"<A/><B/>", kXmlParseFailed, parse},
      {"<SETTINGS><ITEM ID='1></SETTINGS>", kXmlParseFailed, parse},
      {"<SETTINGS>\n  <ITEM ID='1'\n</SETTINGS>", kXmlParseFailed, parse},
      {std::string("<SETTINGS>\0</SETTINGS>", 22), kXmlParseFailed, parse},
      {std::string("\xff\xfe\x00<", 4), kXmlParseFailed, parse},
      {"<huge>", platform::kXmlFileTooLarge, "LoadCoreSettings HRESULT exception 800700df"},
      {"<folder>", HresultFromWin32(kErrorAccessDenied),
       "Load LoadSettings can not find file " + folder_.Path() + " error 5"},
      {"<missing>", kSettingsFileNotFound, absent + " error 2"},
  };
  ASSERT_EQ(LoadText(full), kSOk);
  const std::string good = Dump(settings_);
  std::string reports;
  for (const auto& [text, result, logged] : rows) {
    LogCapture log;
    std::string path = folder_.Join(text == "<missing>" ? "absent.xml" : "CoreSettings.xml");
    if (text == "<folder>") path = folder_.Path();
    if (text != "<missing>" && text != "<folder>") {
      folder_.WriteFile("CoreSettings.xml", text == "<huge>" ? "<SETTINGS/>" : text);
    }
    const off_t huge = static_cast<off_t>(platform::kMaxXmlFileBytes) + 1;
    if (text == "<huge>") { ASSERT_EQ(truncate(path.c_str(), huge), 0); }
    EXPECT_EQ(LoadPath(path), result) << text.substr(0, 40);
    reports += stderr_;
    EXPECT_EQ(log.Lines(), std::vector<std::string>{logged}) << text.substr(0, 40);
    EXPECT_EQ(Dump(settings_), good) << text.substr(0, 40);
  }
  EXPECT_NE(reports.find("Error on line 3, position "), std::string::npos) << reports;
  // Below the settings: a folder is no document, a bad XPath expression is refused.
  XmlDocument document;
  platform::XmlParseError error;
  std::vector<XmlNode> nodes;
  EXPECT_EQ(document.LoadFile(folder_.Path(), error), HresultFromWin32(kErrorAccessDenied));
  ASSERT_EQ(document.LoadText("<R/>", "r.xml", error), kSOk);
  EXPECT_EQ(document.Root().SelectNodes("R[", nodes), kEInvalidArg);
}

TEST_F(CoreSettingsFile, TheShippedDemonstrationFileLoads) {
  ASSERT_EQ(LoadPath(NEXORAL_DEMO_CORE_SETTINGS), kSOk);
  // The log switch, exclusions, a service worker with its module, rules and properties.
  const std::string dump = Dump(settings_);
  for (const char* part : {" 14:", " X", " W", "{ 1:", " S", " P", "<SETTINGS><"}) {
    EXPECT_NE(dump.find(part), std::string::npos) << part << " in " << dump;
  }
}

// The file is examined at most once per interval; a change is reported until a load takes it.
TEST_F(CoreSettingsFile, ChangesOnDiskOverTime) {
  const std::string path = folder_.Join("CoreSettings.xml");
  int64_t now = kJan2026 + 3600;
  settings_.SetClock([&now] { return platform::FileTimeFromUnix(now, 0); });
  // Writes the file with a last-write time seconds after the start of 2026.
  const auto write = [&](int64_t at, const char* text = "<SETTINGS/>") {
    return [&, at, text] {
      testing::WriteWholeFile(path, text);
      const timespec times[2] = {{kJan2026 + at, 0}, {kJan2026 + at, 0}};
      utimensat(AT_FDCWD, path.c_str(), times, 0);
    };
  };
  const auto load = [&](bool loads) {
    return [&, loads] { EXPECT_EQ(LoadPath(path) == kSOk, loads); };
  };
  // A load while the file is written (at 200) or deleted keeps the date from before parsing.
  const auto loadWhile = [&](std::function<void()> change) {
    return [&, change] {
      FileTime before;
      ASSERT_EQ(settings_.BeginLoad(path, before), kSOk);
      change();
      settings_.CommitLoadDate(before);
      EXPECT_EQ(settings_.FileDate(), before);
    };
  };
  const HRESULT ok = kSOk, gone = HresultFromWin32(kErrorFileNotFound);
  // What is done, the seconds the clock then moves, whether a change is reported, the result.
  const std::vector<std::tuple<std::function<void()>, int64_t, bool, HRESULT>> steps = {
      {[&] { write(0)(), load(true)(), write(60)(); }, 60, false, ok},  // 1 minute: not examined
      {nullptr, 14 * 60 - 1, false, ok}, {nullptr, 1, true, ok},        // 15 minutes
      {nullptr, 0, false, ok},        // the owner's lock was busy; within the interval
      {nullptr, 15 * 60, true, ok},  // reported again
      {load(true), 15 * 60, false, ok}, {write(120, "<SETTINGS><CORE"), 15 * 60, true, ok},
      {load(false), 15 * 60, true, ok},  // the failed load did not take the new date
      {write(-86400), 15 * 60, false, ok},  // an older copy
      {write(180), 15 * 60, true, ok}, {loadWhile(write(200)), 15 * 60, true, ok},
      {loadWhile([&] { unlink(path.c_str()); }), 15 * 60, false, gone},
      {nullptr, 0, false, gone},  // a failed examination is no completed check
      {write(240), 0, true, ok},
      {[&] { load(true)(), settings_.SetRefreshInterval(0); }, 0, false, ok},
      {write(245), 0, true, ok},  // interval 0: examined at every check
      {[&] { settings_.SetRefreshInterval(15), load(true)(); }, -7 * 86400, false, ok},
      {write(250), -60, true, ok},  // the clock set back: examined at once
  };
  LogCapture log;
  int step = 0;
  for (const auto& [act, seconds, reported, result] : steps) {
    if (act) act();
    now += seconds;
    bool changed = false;
    ++step;
    EXPECT_EQ(settings_.CheckForRefresh(changed), result) << "step " << step;
    EXPECT_EQ(changed, reported) << "step " << step;
  }
  EXPECT_EQ(log.Count("Reload Settings " + path +
                      ". Curent LastModifiedDate 1.1.2026 - 0:1:0:0 Interval: 15 minutes"),
            2u);
  EXPECT_EQ(log.Count("Previous LastModifiedDate 1.1.2026 - 0:0:0:0"), 2u);
  EXPECT_EQ(log.Count("GetFileDate " + path), 2u);
  EXPECT_EQ(log.Count("HashFileDate failed to read filedate " + path + ". HR 0x80070002"), 1u);
}

}  // namespace
}  // namespace nexoral
