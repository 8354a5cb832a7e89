// Loading the users file and checking passwords with crypt(3).
#include "users_file.h"

#include <crypt.h>

#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "text_util.h"

namespace nexoral::server {
namespace {

constexpr size_t kMaxLineBytes = 8192;

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool LooksLikeSid(const std::string& sid) {
  return sid.size() > 4 && sid.compare(0, 4, "S-1-") == 0 &&
         sid.find_first_not_of("S0123456789-", 2) == std::string::npos;
}

// '*' and '!' conventionally lock an account and never match; any other hash goes to crypt(3).
bool IsUsableHash(const std::string& hash) {
  return !hash.empty() && hash.front() != '*' && hash.front() != '!';
}

// Why a usable hash is refused: "" when crypt(3) can check it and its method is not weak.
std::string HashProblem(const std::string& hash) {
  if (!IsUsableHash(hash)) return {};
  const int check = crypt_checksalt(hash.c_str());
  const char* weak = nullptr;
  if (hash.front() == '_') {
    weak = "extended DES (_...)";
  } else if (hash.front() != '$') {
    weak = "DES-crypt";
  } else if (hash.starts_with("$1$")) {
    weak = "MD5-crypt ($1$)";
  } else if (check == CRYPT_SALT_METHOD_LEGACY) {
    weak = "legacy";  // NT, SunMD5, sha1crypt and the like
  }
  if (weak != nullptr) {
    return std::string(weak) +
           " password hashes are too weak: hash the password again with yescrypt ($y$) or "
           "SHA-512 ($6$)";
  }
  if (check != CRYPT_SALT_OK || hash.find('\0') != std::string::npos) {
    return "the password hash is not one this system's crypt(3) can check";
  }
  return {};
}

// A password nobody knows, hashed with the method and cost of setting (or the default method).
std::string MakeDummyHash(const std::string& setting) {
  std::random_device random;
  std::string password;
  for (int i = 0; i < 4; ++i) password += std::to_string(random());
  auto scratch = std::make_unique<crypt_data>();
  char generated[CRYPT_GENSALT_OUTPUT_SIZE];
  const char* salt = setting.empty()
                         ? crypt_gensalt_rn(nullptr, 0, nullptr, 0, generated, sizeof(generated))
                         : setting.c_str();
  const char* hash = salt == nullptr ? nullptr
                                     : crypt_rn(password.c_str(), salt, scratch.get(),
                                                static_cast<int>(sizeof(crypt_data)));
  return hash == nullptr ? std::string("*") : std::string(hash);
}

std::string CheckEntry(const std::vector<std::string>& fields) {
  if (fields.size() != 5) return "expected name:hash:domain:sid:group-sids";
  if (fields[0].empty()) return "empty user name";
  if (fields[1].empty()) return "empty password hash (use * to lock the account)";
  if (!LooksLikeSid(fields[3])) return "the user SID must look like S-1-...";
  if (!fields[4].empty()) {
    for (const std::string& group : Split(fields[4], ',')) {
      if (!LooksLikeSid(group)) return "group SID \"" + group + "\" must look like S-1-...";
    }
  }
  return {};
}

bool SameHash(const char* computed, const std::string& stored) {
  if (computed == nullptr || std::string_view(computed).size() != stored.size()) return false;
  unsigned char difference = 0;  // constant time over the hash
  for (size_t i = 0; i < stored.size(); ++i) {
    difference |= static_cast<unsigned char>(computed[i] ^ stored[i]);
  }
  return difference == 0;
}

}  // namespace

std::optional<UsersFile> UsersFile::Parse(const std::string& text, UsersFileError* error) {
  UsersFile users;
  std::istringstream input(text);
  std::string line, setting;  // setting: the first usable hash, for the dummy hash
  unsigned number = 0;
  auto fail = [&](const std::string& message) {
    if (error != nullptr) *error = UsersFileError{number, message};
    return std::nullopt;
  };
  while (std::getline(input, line)) {
    ++number;
    if (line.size() > kMaxLineBytes) return fail("line too long");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const std::vector<std::string> fields = Split(line, ':');
    const std::string problem = CheckEntry(fields);
    if (!problem.empty()) return fail(problem);
    if (const std::string weak = HashProblem(fields[1]); !weak.empty()) return fail(weak);
    if (setting.empty() && IsUsableHash(fields[1])) setting = fields[1];
    Entry entry;
    entry.hash = fields[1];
    entry.identity.user = fields[0];
    entry.identity.domain = fields[2];
    entry.identity.sid = fields[3];
    if (!fields[4].empty()) entry.identity.groupSids = Split(fields[4], ',');
    if (!users.users_.emplace(AsciiLower(fields[0]), std::move(entry)).second) {
      return fail("user " + fields[0] + " is listed twice");
    }
  }
  users.dummyHash_ = MakeDummyHash(setting);
  return users;
}

std::optional<UsersFile> UsersFile::Load(const std::string& path, UsersFileError* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error != nullptr) *error = UsersFileError{0, "cannot read the users file"};
    return std::nullopt;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return Parse(text.str(), error);
}

std::optional<platform::TokenIdentity> UsersFile::Authenticate(const std::string& user,
                                                               const std::string& password) const {
  const auto found = users_.find(AsciiLower(user));
  const bool known = found != users_.end() && IsUsableHash(found->second.hash);
  // Unknown and locked users take the same time as known ones: the names do not show.
  const std::string& hash = known ? found->second.hash : dummyHash_;
  auto scratch = std::make_unique<crypt_data>();
  const char* computed = crypt_rn(password.c_str(), hash.c_str(), scratch.get(),
                                  static_cast<int>(sizeof(crypt_data)));
  cryptCalls_.value.fetch_add(1, std::memory_order_relaxed);
  if (!SameHash(computed, hash) || !known) return std::nullopt;
  return found->second.identity;
}

}  // namespace nexoral::server
