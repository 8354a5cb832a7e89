// What the criteria tests share: the elements of a criteria file, and a thread token for a scope.
#ifndef NEXORAL_TESTS_CRITERIA_CRITERIA_FILES_H
#define NEXORAL_TESTS_CRITERIA_CRITERIA_FILES_H

#include <optional>
#include <string>

#include "platform/thread_token.h"

namespace nexoral::testing {

inline std::string Item(int id, const std::string& value) {
  return "<CRITERION ID='" + std::to_string(id) + "' DESCR='' VALUE='" + value + "'/>";
}
inline std::string Criteria(const std::string& id, const std::string& items) {
  return "<CRITERIA ID='" + id + "' VALUE='c" + id + "'>" + items + "</CRITERIA>";
}

// Puts a token of the identity on the calling thread for the scope (none for a null identity).
class Impersonation {
 public:
  explicit Impersonation(const std::optional<platform::TokenIdentity>& identity) {
    if (identity) token_ = platform::CreateAccessToken(*identity);
    if (token_ != nullptr) platform::SetThreadToken(token_);
  }
  ~Impersonation() {
    platform::RevertToSelf();
    if (token_ != nullptr) platform::CloseAccessToken(token_);
  }
  HANDLE token_ = nullptr;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_CRITERIA_CRITERIA_FILES_H
