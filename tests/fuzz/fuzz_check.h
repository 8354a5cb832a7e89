// What every fuzzer here shares: EXPECT_OR_ABORT, which reports a failed check through the
// fuzzer's own Fail (it prints what the input made, then aborts so that libFuzzer keeps the
// input), bytes shown printable, and a file written whole.
#ifndef NEXORAL_TESTS_FUZZ_FUZZ_CHECK_H
#define NEXORAL_TESTS_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_check {

// Defined by each fuzzer.
[[noreturn]] void Fail(const char* condition, int line);

// label, then bytes with everything but printable ASCII as \xNN, on one line of stderr.
inline void Show(const char* label, const std::string& bytes) {
  std::fprintf(stderr, "%s", label);
  for (unsigned char c : bytes) std::fprintf(stderr, c >= 32 && c < 127 && c != '\\' ? "%c" : "\\x%02x", c);
  std::fprintf(stderr, "\n");
}

[[noreturn]] inline void Report(const char* condition, int line) {
  std::fprintf(stderr, "oracle failure: %s (line %d)\n", condition, line);
  std::abort();
}

inline void WriteFile(const std::string& path, const std::string& content) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr || std::fwrite(content.data(), 1, content.size(), file) != content.size()) std::abort();
  std::fclose(file);
}

}  // namespace fuzz_check

#define EXPECT_OR_ABORT(condition)                              \
  do {                                                          \
    if (!(condition)) ::fuzz_check::Fail(#condition, __LINE__); \
  } while (0)

#endif  // NEXORAL_TESTS_FUZZ_FUZZ_CHECK_H
