// Sets an environment variable for the life of the object and restores its earlier value (or
// its absence) afterwards. Tests only: the environment is the process's.
#ifndef NEXORAL_TESTS_HARNESS_SCOPED_ENVIRONMENT_H
#define NEXORAL_TESTS_HARNESS_SCOPED_ENVIRONMENT_H

#include <cstdlib>
#include <optional>
#include <string>

namespace nexoral::testing {

class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::string& value) : name_(std::move(name)) {
    if (const char* earlier = std::getenv(name_.c_str())) earlier_ = earlier;
    Set(value);
  }
  ~ScopedEnvironment() {
    if (earlier_) {
      setenv(name_.c_str(), earlier_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  // Gives the variable another value until the object goes.
  void Set(const std::string& value) const { setenv(name_.c_str(), value.c_str(), 1); }

 private:
  std::string name_;
  std::optional<std::string> earlier_;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_HARNESS_SCOPED_ENVIRONMENT_H
