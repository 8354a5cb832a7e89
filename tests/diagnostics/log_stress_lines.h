// The lines of the log stress test, and how to recognise them again in a log.
#ifndef NEXORAL_TESTS_DIAGNOSTICS_LOG_STRESS_LINES_H
#define NEXORAL_TESTS_DIAGNOSTICS_LOG_STRESS_LINES_H

#include <string>

namespace nexoral::testing {

// "P<tag> T<thread> L<line> " and a payload of 40 letters that depends on all three.
inline std::string StressLine(int tag, int thread, int line) {
  std::string text = "P" + std::to_string(tag) + " T" + std::to_string(thread) + " L" +
                     std::to_string(line) + " ";
  for (int i = 0; i < 40; ++i) text += static_cast<char>('a' + (tag * 7 + thread * 3 + line + i) % 26);
  return text;
}

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_DIAGNOSTICS_LOG_STRESS_LINES_H
