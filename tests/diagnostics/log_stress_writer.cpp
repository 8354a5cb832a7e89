// A worker process for the log stress test: configures its own log the way an installation
// does, writes lines from several threads, flushes and exits.
//
//   log_stress_writer <kind> <log folder> <common folder> <module file name> <threads> <lines> <tag>
//
// Each line reads "P<tag> T<thread> L<line> <payload>", the payload derived from the three
// numbers so that a torn or mixed line is recognisable.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics/log.h"
#include "diagnostics/log_installation.h"
#include "diagnostics/log_setup.h"
#include "diagnostics/log_writers.h"
#include "diagnostics/log_stress_lines.h"

int main(int argc, char** argv) {
  if (argc != 8) {
    std::fprintf(stderr, "usage: %s kind folder common module threads lines tag\n", argv[0]);
    return 2;
  }
  nexoral::testing::FakeLogSettings settings;
  settings.items[nexoral::kItemLogSwitch] = "1";
  settings.items[nexoral::kItemLogOutput] = argv[1];
  settings.items[nexoral::kItemLogSizeKb] = "16384";
  settings.items[nexoral::kItemOwnLog] = "1";
  settings.items[nexoral::kItemLogFolder] = argv[2];
  settings.commonFolder = argv[3];
  nexoral::ConfigureLog(settings, argv[4]);
  if (nexoral::LogLock() == nullptr) {
    std::fprintf(stderr, "no log lock\n");
    return 1;
  }
  const int threads = std::atoi(argv[5]);
  const int lines = std::atoi(argv[6]);
  const int tag = std::atoi(argv[7]);
  std::vector<std::thread> writers;
  for (int thread = 0; thread < threads; ++thread) {
    writers.emplace_back([=] {
      for (int line = 0; line < lines; ++line) {
        nexoral::Log("%s", nexoral::testing::StressLine(tag, thread, line).c_str());
      }
    });
  }
  for (auto& writer : writers) writer.join();
  nexoral::FlushLog();
  return 0;
}
