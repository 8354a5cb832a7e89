// Loading the users file and checking passwords with crypt(3).
#include "users_file.h"

#include <crypt.h>

#include <fstream>
#include <memory>
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

// Hashes that crypt(3) can check start with '$' (modern methods) or are DES hashes of 13
// characters; '*' and '!' conventionally lock an account and never match.
bool IsUsableHash(const std::string& hash) {
  if (hash.empty() || hash.front() == '*' || hash.front() == '!') return false;
  return hash.front() == '$' || hash.size() == 13;
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
  std::string line;
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
  if (found == users_.end() || !IsUsableHash(found->second.hash)) return std::nullopt;
  auto scratch = std::make_unique<crypt_data>();
  const char* computed = crypt_rn(password.c_str(), found->second.hash.c_str(), scratch.get(),
                                  static_cast<int>(sizeof(crypt_data)));
  if (!SameHash(computed, found->second.hash)) return std::nullopt;
  return found->second.identity;
}

}  // namespace nexoral::server
