// The mailbox of a call, checked against the directory's delegates, and canonical property-set
// GUIDs.
#include "mailbox_identity.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "exchange_access_interface.h"
#include "platform/ascii_text.h"
#include "platform/error_codes.h"
#include "platform/thread_token.h"

namespace nexoral::mailbox {
namespace {

using platform::EqualsIgnoreCase;

std::string_view TrimBlanks(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<platform::TokenIdentity> CallingUser() {
  HANDLE token = nullptr;
  if (!platform::OpenThreadToken(&token)) return std::nullopt;
  platform::TokenIdentity identity;
  const bool known = platform::GetAccessTokenIdentity(token, &identity);
  platform::CloseAccessToken(token);
  if (!known || identity.user.empty()) return std::nullopt;
  return identity;
}

std::string AccountKey(std::string_view domain, std::string_view account) {
  return platform::AsciiLower(domain.empty() ? std::string(account)
                                             : std::string(domain) + "\\" + std::string(account));
}

const std::vector<std::string>& ValuesOf(const platform::DirectoryEntry& entry, std::string_view name) {
  static const std::vector<std::string> kNone;
  for (const platform::DirectoryAttribute& attribute : entry.attributes) {
    if (EqualsIgnoreCase(attribute.name, name)) return attribute.values;
  }
  return kNone;
}

// The one user entry the key filter finds. A second match is as good as none: a mailbox name
// must name one owner.
HRESULT FindAccount(platform::Directory& directory, const std::string& keyFilter, platform::DirectoryEntry* entry) {
  std::string root;
  HRESULT hr = directory.NamingContext(&root);
  std::vector<platform::DirectoryEntry> entries;
  if (Succeeded(hr)) {
    hr = directory.Search(root, platform::DirectoryScope::kSubtree, "(&(objectClass=user)" + keyFilter + ")",
                          {"sAMAccountName", "publicDelegates"}, &entries);
  }
  if (Succeeded(hr) && (entries.size() != 1 || ValuesOf(entries.front(), "sAMAccountName").empty())) {
    hr = platform::kDirectoryNoSuchObject;
  }
  if (Succeeded(hr)) *entry = std::move(entries.front());
  return hr;
}

// The key filter of a mailbox name; empty for "domain\account" of a domain the directory does
// not hold.
std::string MailboxFilter(std::string_view mailbox, const std::string& domain) {
  const size_t backslash = mailbox.find('\\');
  if (backslash != std::string_view::npos) {
    if (!domain.empty() && !EqualsIgnoreCase(mailbox.substr(0, backslash), domain)) return std::string();
    return "(sAMAccountName=" + platform::EscapeFilterValue(mailbox.substr(backslash + 1)) + ")";
  }
  const std::string escaped = platform::EscapeFilterValue(mailbox);
  if (mailbox.find('@') == std::string_view::npos) return "(sAMAccountName=" + escaped + ")";
  // Values compare ignoring case: this finds the primary "SMTP:" and the other "smtp:" addresses.
  return "(|(proxyAddresses=smtp:" + escaped + ")(userPrincipalName=" + escaped + "))";
}

std::string HexCode(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%x", static_cast<unsigned>(hr));
  return code;
}

struct OpenedDirectory {
  std::string path;
  std::shared_ptr<platform::Directory> directory;
  std::string error;
};
std::atomic<std::shared_ptr<const OpenedDirectory>> openedDirectory;

}  // namespace

std::shared_ptr<platform::Directory> MailboxDirectory(std::string* error) {
  const char* configured = std::getenv(kDirectoryVariable);
  const std::string path = configured != nullptr ? configured : "";
  std::shared_ptr<const OpenedDirectory> opened = openedDirectory.load();
  if (opened == nullptr || opened->path != path) {
    auto next = std::make_shared<OpenedDirectory>();
    next->path = path;
    platform::DirectoryConfig config;
    if (path.empty()) {
      next->error = std::string(kDirectoryVariable) + " names no directory configuration";
    } else if (platform::ReadDirectoryConfig(path, &config, &next->error)) {
      next->directory = platform::OpenDirectory(config, &next->error);
    }
    opened = next;
    openedDirectory.store(opened);
  }
  *error = opened->error;
  return opened->directory;
}

bool ResolveMailbox(std::string_view explicitMailbox, platform::Directory* directory, std::string* key,
                    StoreError* error) {
  const std::optional<platform::TokenIdentity> caller = CallingUser();
  if (!caller) {
    *error = {kAccessErrorNoMailbox, "no mailbox: none was given and the calling thread does not act for a user"};
    return false;
  }
  const std::string own = AccountKey(caller->domain, caller->user);
  const std::string_view mailbox = TrimBlanks(explicitMailbox);
  auto grant = [key](std::string granted) { return *key = std::move(granted), true; };
  auto refuse = [&](const std::string& reason) {
    *error = {kAccessErrorAccessDenied, "access refused: " + own + " may not act on mailbox " + std::string(mailbox) +
                                            ": " + reason};
    return false;
  };
  if (mailbox.empty()) return grant(own);
  if (directory == nullptr) {
    if (EqualsIgnoreCase(mailbox, own) || EqualsIgnoreCase(mailbox, caller->user)) return grant(own);
    return refuse("there is no directory to check its delegates");
  }
  const std::string& domain = directory->Config().domain;
  const std::string filter = MailboxFilter(mailbox, domain);
  platform::DirectoryEntry owner, user;
  HRESULT hr = filter.empty() ? platform::kDirectoryNoSuchObject : FindAccount(*directory, filter, &owner);
  if (Failed(hr)) return refuse("the directory has no such mailbox, " + HexCode(hr));
  hr = !domain.empty() && !EqualsIgnoreCase(caller->domain, domain)
           ? platform::kDirectoryNoSuchObject
           : FindAccount(*directory, "(sAMAccountName=" + platform::EscapeFilterValue(caller->user) + ")", &user);
  if (Failed(hr)) return refuse("the directory does not know the user, " + HexCode(hr));
  if (EqualsIgnoreCase(owner.dn, user.dn)) return grant(own);
  for (const std::string& delegate : ValuesOf(owner, "publicDelegates")) {
    if (EqualsIgnoreCase(delegate, user.dn)) {
      return grant(AccountKey(domain.empty() ? caller->domain : domain, ValuesOf(owner, "sAMAccountName").front()));
    }
  }
  return refuse("the user is not among its delegates");
}

std::optional<std::string> CanonicalPropertySet(std::string_view guid) {
  if (guid.size() == 38 && guid.front() == '{' && guid.back() == '}') {
    guid = guid.substr(1, 36);
  }
  if (guid.size() != 36) return std::nullopt;
  std::string canonical(guid);
  for (size_t index = 0; index < canonical.size(); ++index) {
    const bool dash = index == 8 || index == 13 || index == 18 || index == 23;
    if (dash ? canonical[index] != '-' : !std::isxdigit(static_cast<unsigned char>(canonical[index]))) {
      return std::nullopt;
    }
    canonical[index] = static_cast<char>(std::toupper(static_cast<unsigned char>(canonical[index])));
  }
  return canonical;
}

}  // namespace nexoral::mailbox
