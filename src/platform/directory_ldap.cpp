// The LDAP directory: OpenLDAP's client library, one connection per thread (bound on the
// thread's first search and kept), every operation with the configured time limit. A search
// that finds the connection broken drops it, connects anew and runs once more; a thread whose
// connect fails tries again on its next search.
#include <ldap.h>

#include <atomic>
#include <fstream>

#include "platform/directory_backends.h"

namespace nexoral::platform {
namespace {

std::atomic<uint64_t> g_nextDirectoryId{1};

struct ThreadConnection {
  LDAP* ld = nullptr;
  uint64_t owner = 0;  // the id of the directory the connection belongs to

  ThreadConnection() = default;
  ThreadConnection(const ThreadConnection&) = delete;
  ThreadConnection& operator=(const ThreadConnection&) = delete;
  ~ThreadConnection() { Close(); }
  void Close() {
    if (ld != nullptr) ldap_unbind_ext_s(ld, nullptr, nullptr);
    ld = nullptr;
    owner = 0;
  }
};

thread_local ThreadConnection t_connection;

bool ConnectionLost(int code) {
  return code == LDAP_SERVER_DOWN || code == LDAP_CONNECT_ERROR || code == LDAP_TIMEOUT ||
         code == LDAP_UNAVAILABLE || code == LDAP_BUSY;
}

class LdapDirectory : public Directory {
 public:
  LdapDirectory(const DirectoryConfig& config, std::string password)
      : Directory(config), password_(std::move(password)), id_(g_nextDirectoryId.fetch_add(1)) {}

  HRESULT Search(const std::string& base, DirectoryScope scope, const std::string& filter,
                 const std::vector<std::string>& attributes,
                 std::vector<DirectoryEntry>* entries) override {
    entries->clear();
    std::vector<char*> names;
    for (const std::string& name : attributes) names.push_back(const_cast<char*>(name.c_str()));
    names.push_back(nullptr);
    int code = LDAP_SERVER_DOWN;
    for (int attempt = 0; attempt < 2 && ConnectionLost(code); ++attempt) {
      if (t_connection.owner != id_ || t_connection.ld == nullptr) {
        code = Connect();
        if (code != LDAP_SUCCESS) continue;
      }
      timeval limit = TimeLimit();
      LDAPMessage* result = nullptr;
      code = ldap_search_ext_s(t_connection.ld, base.c_str(),
                               scope == DirectoryScope::kBase ? LDAP_SCOPE_BASE : LDAP_SCOPE_SUBTREE,
                               filter.c_str(), attributes.empty() ? nullptr : names.data(), 0,
                               nullptr, nullptr, &limit, config_.sizeLimit, &result);
      if (code == LDAP_SUCCESS || code == LDAP_SIZELIMIT_EXCEEDED) {
        ReadEntries(result, entries);
        code = LDAP_SUCCESS;
      }
      if (result != nullptr) ldap_msgfree(result);
      if (ConnectionLost(code)) t_connection.Close();
    }
    return DirectoryResultCode(code);
  }

  HRESULT NamingContext(std::string* context) override {
    context->clear();
    if (!config_.base.empty()) {
      *context = config_.base;
      return 0;
    }
    std::vector<DirectoryEntry> root;
    const HRESULT hr = Search("", DirectoryScope::kBase, "(objectClass=*)",
                              {"defaultNamingContext", "namingContexts"}, &root);
    if (hr != 0) return hr;
    for (const char* name : {"defaultNamingContext", "namingContexts"}) {
      for (const DirectoryAttribute& attribute : root.empty() ? std::vector<DirectoryAttribute>()
                                                              : root[0].attributes) {
        if (attribute.name == name && !attribute.values.empty()) {
          *context = attribute.values[0];
          return 0;
        }
      }
    }
    return kDirectoryNoSuchObject;
  }

 private:
  timeval TimeLimit() const {
    return timeval{config_.timeoutMs / 1000, static_cast<suseconds_t>(config_.timeoutMs % 1000) * 1000};
  }

  int Connect() {
    t_connection.Close();
    LDAP* ld = nullptr;
    int code = ldap_initialize(&ld, config_.uri.c_str());
    if (code != LDAP_SUCCESS) return code;
    const int version = LDAP_VERSION3;
    const timeval limit = TimeLimit();
    ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &limit);
    ldap_set_option(ld, LDAP_OPT_TIMEOUT, &limit);
    berval credentials{password_.size(), const_cast<char*>(password_.data())};
    code = ldap_sasl_bind_s(ld, config_.bindDn.empty() ? nullptr : config_.bindDn.c_str(),
                            LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr, nullptr);
    if (code != LDAP_SUCCESS) {
      ldap_unbind_ext_s(ld, nullptr, nullptr);
      return code;
    }
    t_connection.ld = ld;
    t_connection.owner = id_;
    return LDAP_SUCCESS;
  }

  static void ReadEntries(LDAPMessage* result, std::vector<DirectoryEntry>* entries) {
    LDAP* ld = t_connection.ld;
    for (LDAPMessage* message = ldap_first_entry(ld, result); message != nullptr;
         message = ldap_next_entry(ld, message)) {
      DirectoryEntry entry;
      if (char* dn = ldap_get_dn(ld, message)) {
        entry.dn = dn;
        ldap_memfree(dn);
      }
      BerElement* position = nullptr;
      for (char* name = ldap_first_attribute(ld, message, &position); name != nullptr;
           name = ldap_next_attribute(ld, message, position)) {
        DirectoryAttribute attribute{name, {}};
        ldap_memfree(name);
        if (berval** values = ldap_get_values_len(ld, message, attribute.name.c_str())) {
          for (berval** value = values; *value != nullptr; ++value) {
            attribute.values.emplace_back((*value)->bv_val, (*value)->bv_len);
          }
          ldap_value_free_len(values);
        }
        entry.attributes.push_back(std::move(attribute));
      }
      if (position != nullptr) ber_free(position, 0);
      entries->push_back(std::move(entry));
    }
  }

  const std::string password_;
  const uint64_t id_;
};

}  // namespace

std::shared_ptr<Directory> MakeLdapDirectory(const DirectoryConfig& config, std::string* error) {
  std::string password;
  if (!config.bindPasswordFile.empty()) {
    std::ifstream file(config.bindPasswordFile);
    if (!file || !std::getline(file, password)) {
      *error = "cannot read the bind password file " + config.bindPasswordFile;
      return nullptr;
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
  }
  LDAP* probe = nullptr;  // the address is checked now, the server on the first search
  const int code = ldap_initialize(&probe, config.uri.c_str());
  if (probe != nullptr) ldap_unbind_ext_s(probe, nullptr, nullptr);
  if (code != LDAP_SUCCESS) {
    *error = "not an LDAP address: " + config.uri;
    return nullptr;
  }
  return std::make_shared<LdapDirectory>(config, std::move(password));
}

}  // namespace nexoral::platform
