// The in-memory directory: the entries of an LDIF file, read with OpenLDAP's LDIF reader, and a
// small RFC 4515 matcher for the filter forms the lookups make: "(&...)", "(|...)", "(!...)",
// equality "(a=v)", presence "(a=*)" and substrings "(a=x*y*z)". Attribute names and values
// compare ignoring ASCII case; binary identifiers (SIDs, GUIDs) compare byte for byte.
#include <lber.h>
// clang-format off
#include <cstdio>  // ldif.h uses FILE without including it
#include <ldif.h>
// clang-format on

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "platform/ascii_text.h"
#include "platform/directory_backends.h"

namespace nexoral::platform {
namespace {

// ASCII case only, whatever the process's locale; no library call per character.
bool SameText(std::string_view a, std::string_view b) { return EqualsIgnoreCase(a, b); }

bool IsBinaryAttribute(std::string_view name) {
  return SameText(name, "objectSid") || SameText(name, "msExchMasterAccountSid") ||
         SameText(name, "objectGUID") || SameText(name, "msExchMailboxGUID");
}

// A DN for scope tests: lower case, no blanks around "," and "=".
std::string NormalDn(std::string_view dn) {
  std::string normal;
  for (const char c : dn) {
    if (c == ' ' && (normal.empty() || normal.back() == ',' || normal.back() == '=')) continue;
    if (c == ',' || c == '=') {
      while (!normal.empty() && normal.back() == ' ') normal.pop_back();
    }
    normal += LowerAscii(c);
  }
  while (!normal.empty() && normal.back() == ' ') normal.pop_back();
  return normal;
}

struct Filter {
  enum Kind { kAnd, kOr, kNot, kEquality, kPresent, kSubstring } kind = kAnd;
  std::string attribute;
  std::vector<std::string> parts;  // equality: the value; substrings: initial, any..., final
  std::vector<Filter> children;
};

constexpr int kMaxFilterDepth = 16;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = LowerAscii(c);
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

bool ParseFilter(std::string_view text, size_t& at, Filter& filter, int depth) {
  if (depth > kMaxFilterDepth || at >= text.size() || text[at] != '(') return false;
  ++at;
  if (at >= text.size()) return false;
  const char op = text[at];
  if (op == '&' || op == '|' || op == '!') {
    filter.kind = op == '&' ? Filter::kAnd : op == '|' ? Filter::kOr : Filter::kNot;
    ++at;
    while (at < text.size() && text[at] == '(') {
      filter.children.emplace_back();
      if (!ParseFilter(text, at, filter.children.back(), depth + 1)) return false;
    }
    if (filter.children.empty() || (filter.kind == Filter::kNot && filter.children.size() != 1)) return false;
  } else {
    const size_t equals = text.find('=', at);
    if (equals == std::string_view::npos || equals == at) return false;
    filter.attribute = std::string(text.substr(at, equals - at));
    if (filter.attribute.find_first_of("()*\\<>~:") != std::string::npos) return false;
    filter.parts.emplace_back();
    for (at = equals + 1; at < text.size() && text[at] != ')'; ++at) {
      const char c = text[at];
      if (c == '(') return false;
      if (c == '*') {
        filter.parts.emplace_back();
      } else if (c == '\\') {
        const int high = at + 2 < text.size() ? HexDigit(text[at + 1]) : -1;
        const int low = high >= 0 ? HexDigit(text[at + 2]) : -1;
        if (low < 0) return false;
        filter.parts.back() += static_cast<char>(high * 16 + low);
        at += 2;
      } else {
        filter.parts.back() += c;
      }
    }
    filter.kind = filter.parts.size() == 1 ? Filter::kEquality
                  : filter.parts.size() == 2 && filter.parts[0].empty() && filter.parts[1].empty()
                      ? Filter::kPresent
                      : Filter::kSubstring;
  }
  if (at >= text.size() || text[at] != ')') return false;
  ++at;
  return true;
}

bool MatchesValue(const Filter& filter, std::string_view value, bool binary) {
  const auto same = [binary](std::string_view a, std::string_view b) {
    return binary ? a == b : SameText(a, b);
  };
  if (filter.kind == Filter::kEquality) return same(value, filter.parts[0]);
  const std::string& initial = filter.parts.front();
  const std::string& final = filter.parts.back();
  if (value.size() < initial.size() + final.size() || !same(value.substr(0, initial.size()), initial) ||
      !same(value.substr(value.size() - final.size()), final)) {
    return false;
  }
  size_t at = initial.size();
  const size_t end = value.size() - final.size();
  for (size_t i = 1; i + 1 < filter.parts.size(); ++i) {
    const std::string& part = filter.parts[i];
    size_t found = at;
    while (found + part.size() <= end && !same(value.substr(found, part.size()), part)) ++found;
    if (found + part.size() > end) return false;
    at = found + part.size();
  }
  return true;
}

bool Matches(const Filter& filter, const DirectoryEntry& entry) {
  switch (filter.kind) {
    case Filter::kAnd:
      return std::all_of(filter.children.begin(), filter.children.end(),
                         [&entry](const Filter& child) { return Matches(child, entry); });
    case Filter::kOr:
      return std::any_of(filter.children.begin(), filter.children.end(),
                         [&entry](const Filter& child) { return Matches(child, entry); });
    case Filter::kNot:
      return !Matches(filter.children[0], entry);
    default:
      break;
  }
  const bool binary = IsBinaryAttribute(filter.attribute);
  for (const DirectoryAttribute& attribute : entry.attributes) {
    if (!SameText(attribute.name, filter.attribute)) continue;
    if (filter.kind == Filter::kPresent) return !attribute.values.empty();
    for (const std::string& value : attribute.values) {
      if (MatchesValue(filter, value, binary)) return true;
    }
  }
  return false;
}

class LdifDirectory : public Directory {
 public:
  explicit LdifDirectory(const DirectoryConfig& config) : Directory(config) {}

  bool Load(std::string* error);

  HRESULT Search(const std::string& base, DirectoryScope scope, const std::string& filterText,
                 const std::vector<std::string>& attributes,
                 std::vector<DirectoryEntry>* entries) override {
    entries->clear();
    Filter filter;
    size_t at = 0;
    if (!ParseFilter(filterText, at, filter, 0) || at != filterText.size()) return kDirectoryFilterError;
    const std::string normalBase = NormalDn(base);
    if (!normalBase.empty() && bases_.count(normalBase) == 0) return kDirectoryNoSuchObject;
    const std::vector<size_t>* hits = Narrowed(filter);
    const size_t count = hits != nullptr ? hits->size() : entries_.size();
    for (size_t hit = 0; hit < count; ++hit) {
      const size_t i = hits != nullptr ? (*hits)[hit] : hit;
      const std::string& dn = normalDns_[i];
      const bool under = dn.size() >= normalBase.size() &&
                         dn.compare(dn.size() - normalBase.size(), normalBase.size(), normalBase) == 0 &&
                         (dn.size() == normalBase.size() || normalBase.empty() ||
                          dn[dn.size() - normalBase.size() - 1] == ',');
      if (!under || (scope == DirectoryScope::kBase && dn != normalBase)) continue;
      if (!Matches(filter, entries_[i])) continue;
      if (entries->size() >= static_cast<size_t>(config_.sizeLimit)) break;
      DirectoryEntry found{entries_[i].dn, {}};
      for (const DirectoryAttribute& attribute : entries_[i].attributes) {
        if (attributes.empty() || std::any_of(attributes.begin(), attributes.end(),
                                              [&attribute](const std::string& name) {
                                                return SameText(name, attribute.name);
                                              })) {
          found.attributes.push_back(attribute);
        }
      }
      entries->push_back(std::move(found));
    }
    return 0;
  }

  HRESULT NamingContext(std::string* context) override {
    *context = namingContext_;
    return namingContext_.empty() ? kDirectoryNoSuchObject : 0;
  }

 private:
  std::vector<DirectoryEntry> entries_;
  // The key of an attribute value in the index: both in ASCII lower case.
  static std::string IndexKey(std::string_view attribute, std::string_view value) {
    std::string key = AsciiLower(attribute);
    key += '\0';
    key += AsciiLower(value);
    return key;
  }

  // The entries an equality term that the filter requires narrows a search to (the term with
  // the fewest), in file order; null when it has no such term and every entry is tried. Matches
  // still decides each of them (a binary value compares exactly, its key ignoring case).
  const std::vector<size_t>* Narrowed(const Filter& filter) const {
    static const std::vector<size_t> kNone;
    const bool all = filter.kind == Filter::kAnd;
    const Filter* terms = all ? filter.children.data() : &filter;
    const std::vector<size_t>* narrowest = nullptr;
    for (size_t i = 0; i < (all ? filter.children.size() : 1); ++i) {
      if (terms[i].kind != Filter::kEquality) continue;
      const auto found = index_.find(IndexKey(terms[i].attribute, terms[i].parts[0]));
      const std::vector<size_t>* hits = found == index_.end() ? &kNone : &found->second;
      if (narrowest == nullptr || hits->size() < narrowest->size()) narrowest = hits;
    }
    return narrowest;
  }

  std::vector<std::string> normalDns_;
  std::string namingContext_;
  // Each attribute value (IndexKey) to the entries that hold it, in file order.
  std::unordered_map<std::string, std::vector<size_t>> index_;
  // Every entry's DN and the DNs above it: the bases a search may name.
  std::unordered_set<std::string> bases_;
};

// One record's lines into an entry. False for a record without a leading "dn:" (after the
// file's version line) or with a value taken from a URL.
bool ReadRecord(char* buffer, DirectoryEntry* entry) {
  char* next = buffer;
  for (char* line = ldif_getline(&next); line != nullptr; line = ldif_getline(&next)) {
    const char* colon = std::strchr(line, ':');
    if (colon != nullptr && colon[1] == '<') return false;
    berval type{0, nullptr};
    berval value{0, nullptr};
    int freeValue = 0;
    if (ldif_parse_line2(line, &type, &value, &freeValue) < 0) return false;
    std::string name(type.bv_val, type.bv_len);
    std::string text = value.bv_val != nullptr ? std::string(value.bv_val, value.bv_len) : std::string();
    if (freeValue != 0) ber_memfree(value.bv_val);
    if (entry->dn.empty() && SameText(name, "version")) continue;
    if (entry->dn.empty()) {
      if (!SameText(name, "dn") || text.empty()) return false;
      entry->dn = std::move(text);
      continue;
    }
    if (SameText(name, "changetype") || SameText(name, "control")) continue;
    auto attribute = std::find_if(entry->attributes.begin(), entry->attributes.end(),
                                  [&name](const DirectoryAttribute& a) { return SameText(a.name, name); });
    if (attribute == entry->attributes.end()) {
      entry->attributes.push_back({std::move(name), {}});
      attribute = entry->attributes.end() - 1;
    }
    attribute->values.push_back(std::move(text));
  }
  return !entry->dn.empty();
}

bool LdifDirectory::Load(std::string* error) {
  LDIFFP* file = ldif_open(config_.ldif.c_str(), "r");
  if (file == nullptr) {
    *error = "cannot read " + config_.ldif;
    return false;
  }
  unsigned long line = 0;
  char* buffer = nullptr;
  int size = 0;
  int result = 0;
  while ((result = ldif_read_record(file, &line, &buffer, &size)) > 0) {
    DirectoryEntry entry;
    if (ReadRecord(buffer, &entry)) {
      const std::string dn = NormalDn(entry.dn);
      for (size_t comma = dn.find(','); comma != std::string::npos; comma = dn.find(',', comma + 1)) {
        bases_.insert(dn.substr(comma + 1));
      }
      bases_.insert(dn);
      for (const DirectoryAttribute& attribute : entry.attributes) {
        for (const std::string& value : attribute.values) {
          std::vector<size_t>& holders = index_[IndexKey(attribute.name, value)];
          if (holders.empty() || holders.back() != entries_.size()) holders.push_back(entries_.size());
        }
      }
      normalDns_.push_back(dn);
      entries_.push_back(std::move(entry));
    }
  }
  if (buffer != nullptr) ber_memfree(buffer);
  ldif_close(file);
  if (result < 0) {
    *error = config_.ldif + ": bad record before line " + std::to_string(line);
    return false;
  }
  namingContext_ = config_.base;
  if (namingContext_.empty()) {
    // The shortest DN: the root of the tree the file holds.
    for (const DirectoryEntry& entry : entries_) {
      if (namingContext_.empty() || entry.dn.size() < namingContext_.size()) namingContext_ = entry.dn;
    }
  }
  return true;
}

}  // namespace

std::shared_ptr<Directory> MakeLdifDirectory(const DirectoryConfig& config, std::string* error) {
  auto directory = std::make_shared<LdifDirectory>(config);
  if (!directory->Load(error)) return nullptr;
  return directory;
}

}  // namespace nexoral::platform
