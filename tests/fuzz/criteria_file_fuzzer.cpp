// Fuzzes the reading of the criteria file: the input is the whole of ZQCriteria.xml, written to
// one file of the process and loaded three ways: as it is (disabled criteria kept), by the
// engine (disabled ones dropped, as at start-up and refresh), and over the tables of another
// file. Then the engine matches a few requests made of the file's own values, as an anonymous
// user (no directory or token tests). The oracle:
// - the three loads succeed or fail together; a failed load leaves empty tables empty and
//   loaded ones as they were (the mask included); a successful one over other tables gives the
//   same tables as a fresh one, its mask ORed into the old;
// - every criterion stands in the file order and every id of the order has a criterion; the
//   engine's tables are those kept whole minus the criteria whose item 6 reads 0, and its order
//   the same less one entry per dropped criterion;
// - the derived tables come from the items: set entries are non-empty ";"-free pieces of their
//   item, range ends are read from the pieces of item 1 (at most one range per two pieces),
//   group SIDs need item 12 non-zero, a bypass list needs a criterion, and the IP, CDR and host
//   bits are set exactly when some criterion has that item as non-empty text;
// - a request matches the first criterion in file order whose ranges (if any) hold its address,
//   whose host names (if any) hold its host and whose CDR values (if any) share a token of its
//   user agent (when it has tokens); with none, nothing matches.
// Longer runs: "Fuzzing" in README.md.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <memory>
#include <string>
#include <vector>

#include "criteria/handle_criteria_settings.h"
#include "settings/value_rules.h"
#include "fuzz_check.h"

namespace {

using nexoral::CaseInsensitiveSet;
using nexoral::CCriteriaSettings;
using nexoral::CCriterion;

const std::string* shownFile;
const std::string* shownRequest;

}  // namespace

namespace fuzz_check {
void Fail(const char* condition, int line) {
  if (shownFile != nullptr) Show("file     ", *shownFile);
  if (shownRequest != nullptr) Show("request  ", *shownRequest);
  Report(condition, line);
}
}  // namespace fuzz_check

namespace {

// The folder of the process's files, with a core file and the file loaded first: "/" at the end.
const std::string& Folder() {
  // Kept to the end, for the clean-up at exit.
  static const std::string* folder = [] {
    char name[] = "/tmp/nexoral-criteria-fuzz-XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    const auto* path = new std::string(std::string(name) + "/");
    fuzz_check::WriteFile(*path + nexoral::kCoreSettingsFileName, "<SETTINGS/>");
    fuzz_check::WriteFile(*path + "before.xml",
          "<SETTINGS><GENERALSETTINGS><ITEM ID='48' DESCR='' VALUE='S-1-5-32-544'/></GENERALSETTINGS>"
          "<CRITERIA ID='5' VALUE='old'><CRITERION ID='7' DESCR='' VALUE='1'/><CRITERION ID='8' DESCR='' "
          "VALUE='1'/><CRITERION ID='2' DESCR='' VALUE='a.com'/></CRITERIA></SETTINGS>");
    std::atexit([] {
      for (const char* file : {nexoral::kCoreSettingsFileName, nexoral::kCriteriaFileName, "before.xml"}) {
        unlink((Folder() + file).c_str());
      }
      rmdir(Folder().c_str());
    });
    return path;
  }();
  return *folder;
}

std::string Text(const CCriterion& criterion, int32_t item) {
  const auto found = criterion.items.find(item);
  return found != criterion.items.end() && found->second.VALUE.IsText() ? found->second.VALUE.Text() : "";
}

std::vector<std::string> Pieces(const std::string& text) {
  std::vector<std::string> pieces(1);
  for (char c : text) {
    if (c == ';') pieces.emplace_back();
    else pieces.back().push_back(c);
  }
  return pieces;
}

bool Same(const nexoral::CIPAddress& a, const nexoral::CIPAddress& b) {
  return a.isIPv4 == b.isIPv4 && a.groups == b.groups;
}

std::string Describe(const CCriterion& c) {
  std::ostringstream out;
  out << c.id << "[" << c.name << "]";
  for (const auto& [id, item] : c.items) out << " " << id << "=" << (item.VALUE.IsText() ? item.VALUE.Text() : "?");
  for (const auto& range : c.ipRanges) {
    for (const auto* end : {&range.first, &range.last}) {
      out << (end->isIPv4 ? " v4" : " v6");
      for (int32_t group : end->groups) out << "." << group;
    }
  }
  for (const CaseInsensitiveSet* set : {&c.upnSuffixes, &c.ouNames, &c.cdrValues, &c.hostNames}) {
    out << " {";
    for (const std::string& value : *set) out << value << ";";
    out << "}";
  }
  out << " sids " << c.groupSids.size();
  return out.str();
}

// The tables, the mask aside.
std::string Describe(const CCriteriaSettings& settings) {
  std::ostringstream out;
  for (int32_t id : settings.CriteriaOrder()) out << id << " ";
  for (const auto& [id, criterion] : settings.Criteria()) out << "| " << Describe(*criterion);
  for (const auto& [id, item] : settings.General()) out << "| " << id << "=" << item.VALUE.Text();
  out << "| bypass " << settings.BypassList().size();
  return out.str();
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x >= 'A' && x <= 'Z' ? x - 'A' + 'a' : x) == (y >= 'A' && y <= 'Z' ? y - 'A' + 'a' : y);
         });
}
bool HoldsIgnoringCase(const CaseInsensitiveSet& set, const std::string& value) {
  return std::any_of(set.begin(), set.end(), [&](const std::string& entry) { return EqualIgnoringCase(entry, value); });
}

void CheckDerived(const CCriterion& c) {
  const std::vector<std::string> pieces = Pieces(Text(c, nexoral::IP_RANGES));
  EXPECT_OR_ABORT(c.ipRanges.size() <= pieces.size() / 2);
  for (const auto& range : c.ipRanges) {
    for (const auto* end : {&range.first, &range.last}) {
      EXPECT_OR_ABORT(std::any_of(pieces.begin(), pieces.end(), [&](const std::string& piece) {
        nexoral::CIPAddress read;
        return nexoral::ParseIPAddress(piece, read) && Same(read, *end);
      }));
    }
  }
  const std::pair<const CaseInsensitiveSet*, int32_t> sets[] = {{&c.upnSuffixes, nexoral::UPN_SUFFIXES},
      {&c.ouNames, nexoral::OU_NAMES}, {&c.cdrValues, nexoral::CDR_VALUES}, {&c.hostNames, nexoral::HOST_NAMES}};
  for (const auto& [set, item] : sets) {
    const std::string text = Text(c, item);
    for (const std::string& value : *set) {
      EXPECT_OR_ABORT(!value.empty() && value.find(';') == std::string::npos && text.find(value) != std::string::npos);
    }
  }
  const auto groups = c.items.find(nexoral::ENABLE_GROUP_USERS);
  EXPECT_OR_ABORT(c.groupSids.empty() || (groups != c.items.end() && groups->second.VALUE.IsText() &&
                                          nexoral::IntegerFromText(groups->second.VALUE.Text()) != 0));
}

bool Meets(const CCriterion& c, const std::string& ip, const std::string& host, const CaseInsensitiveSet& tokens) {
  nexoral::CIPAddress address;
  const bool read = nexoral::ParseIPAddress(ip, address);
  const bool inRange = c.ipRanges.empty() || (read && std::any_of(c.ipRanges.begin(), c.ipRanges.end(), [&](const auto& r) {
                         return nexoral::IsAddressInRange(address, r);
                       }));
  const bool hostOk = c.hostNames.empty() || HoldsIgnoringCase(c.hostNames, host);
  const bool agentOk = c.cdrValues.empty() || tokens.empty() ||
                       std::any_of(tokens.begin(), tokens.end(), [&](const std::string& t) { return HoldsIgnoringCase(c.cdrValues, t); });
  return inRange && hostOk && agentOk;
}

void CheckMatching(nexoral::CHandleCriteriaSettings& engine) {
  const std::shared_ptr<const CCriteriaSettings> snapshot = engine.Criteria();
  const CCriteriaSettings& settings = *snapshot;
  const std::vector<int32_t>& order = settings.CriteriaOrder();
  // Requests made of the values of the first criteria.
  for (size_t i = 0; i < order.size() && i < 3; ++i) {
    const CCriterion* source = settings.Find(order[i]);
    if (source == nullptr) continue;
    const std::string ip = Pieces(Text(*source, nexoral::IP_RANGES))[0];
    const std::string host = source->hostNames.empty() ? "h" : *source->hostNames.rbegin();
    const std::string agent = "M (" + (source->cdrValues.empty() ? std::string("x") : *source->cdrValues.begin()) + ") z";
    const std::string request = ip + " | " + host + " | " + agent;
    shownRequest = &request;
    int32_t id = -1;
    bool bypassed = false;
    const bool matched = engine.GetCriteriaID(id, ip, "IUSR", agent, host, "", "", bypassed);
    const CaseInsensitiveSet tokens = nexoral::UserAgentTokens(agent);
    const auto first = std::find_if(order.begin(), order.end(), [&](int32_t candidate) {
      const CCriterion* c = settings.Find(candidate);
      return c != nullptr && Meets(*c, ip, host, tokens);
    });
    EXPECT_OR_ABORT(!bypassed);
    EXPECT_OR_ABORT(matched == (first != order.end()) && id == (matched ? *first : 0));
  }
  shownRequest = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string file(reinterpret_cast<const char*>(data), size);
  shownFile = &file;
  const std::string& folder = Folder();
  fuzz_check::WriteFile(folder + nexoral::kCriteriaFileName, file);

  CCriteriaSettings whole;  // disabled criteria kept
  nexoral::CHandleCriteriaSettings engine;
  CCriteriaSettings over;
  over.dropDisabled = true;
  // The loads report on stderr.
  const int saved = dup(2), null = open("/dev/null", O_WRONLY);
  dup2(null, 2);
  const HRESULT overBefore = over.Load(folder + "before.xml");
  const std::string before = Describe(over);
  const uint32_t maskBefore = over.KindsMask();
  const HRESULT wholeResult = whole.Load(folder + nexoral::kCriteriaFileName);
  const HRESULT engineResult = engine.LoadSettings(folder);
  const HRESULT overResult = over.Load(folder + nexoral::kCriteriaFileName);
  dup2(saved, 2);
  close(saved);
  close(null);
  EXPECT_OR_ABORT(overBefore == 0 && maskBefore != 0);

  const std::shared_ptr<const CCriteriaSettings> keptSnapshot = engine.Criteria();
  const CCriteriaSettings& kept = *keptSnapshot;
  EXPECT_OR_ABORT(wholeResult == engineResult && engineResult == overResult);
  if (wholeResult != 0) {
    EXPECT_OR_ABORT(Describe(whole) == "| bypass 0" && whole.KindsMask() == 0);
    EXPECT_OR_ABORT(Describe(kept) == "| bypass 0" && kept.KindsMask() == 0);
    EXPECT_OR_ABORT(Describe(over) == before && over.KindsMask() == maskBefore);
    return 0;
  }
  EXPECT_OR_ABORT(Describe(over) == Describe(kept) && over.KindsMask() == (maskBefore | kept.KindsMask()));

  const std::vector<int32_t>& order = whole.CriteriaOrder();
  for (int32_t id : order) EXPECT_OR_ABORT(whole.Find(id) != nullptr);
  std::vector<int32_t> expectedOrder = order;
  for (const auto& [id, criterion] : whole.Criteria()) {
    EXPECT_OR_ABORT(criterion->id == id && std::count(order.begin(), order.end(), id) > 0);
    int32_t enable = 1;
    const bool dropped = whole.GetCriterionInt(nexoral::CRITERION_ENABLE, enable, id) && enable == 0;
    const CCriterion* survivor = kept.Find(id);
    EXPECT_OR_ABORT(dropped == (survivor == nullptr));
    if (survivor != nullptr) EXPECT_OR_ABORT(Describe(*survivor) == Describe(*criterion));
    if (dropped) expectedOrder.erase(std::find(expectedOrder.begin(), expectedOrder.end(), id));
  }
  EXPECT_OR_ABORT(kept.CriteriaOrder() == expectedOrder);
  EXPECT_OR_ABORT(kept.BypassList().empty() || !kept.CriteriaOrder().empty());

  const std::pair<uint32_t, int32_t> bits[] = {{nexoral::CRITERIA_IP, nexoral::IP_RANGES},
      {nexoral::CDR_CRITERIA, nexoral::CDR_VALUES}, {nexoral::HOST_CRITERIA, nexoral::HOST_NAMES}};
  for (const auto& [bit, item] : bits) {
    const bool any = std::any_of(kept.Criteria().begin(), kept.Criteria().end(),
                                 [item = item](const auto& entry) { return !Text(*entry.second, item).empty(); });
    EXPECT_OR_ABORT(((kept.KindsMask() & bit) != 0) == any);
  }
  EXPECT_OR_ABORT((kept.KindsMask() & ~whole.KindsMask()) == 0);
  for (const auto& [id, criterion] : kept.Criteria()) CheckDerived(*criterion);
  CheckMatching(engine);
  return 0;
}
