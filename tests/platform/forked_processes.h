// Child processes that start their work at the same moment, for tests of what several
// processes do to one file at once. Fork only from a single-threaded test; each child runs its
// work and leaves with _exit, so it never returns into the test framework.
#ifndef NEXORAL_TESTS_PLATFORM_FORKED_PROCESSES_H
#define NEXORAL_TESTS_PLATFORM_FORKED_PROCESSES_H

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <stdexcept>
#include <vector>

namespace nexoral::testing {

class ForkedProcesses {
 public:
  ForkedProcesses() {
    if (pipe(gate_) != 0) throw std::runtime_error("pipe failed");
  }
  ~ForkedProcesses() {
    Start();
    WaitAll();
    close(gate_[0]);
  }
  ForkedProcesses(const ForkedProcesses&) = delete;
  ForkedProcesses& operator=(const ForkedProcesses&) = delete;

  // Forks a child that waits for Start, runs work and exits with its result (0 for success).
  void Fork(const std::function<int()>& work) {
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
      close(gate_[1]);
      char ignored = 0;
      while (read(gate_[0], &ignored, 1) < 0 && errno == EINTR) {
      }
      int result = 1;
      try {
        result = work();
      } catch (...) {
        result = 2;
      }
      _exit(result);
    }
    children_.push_back(child);
  }

  // Lets every child run: they all wake on the end of the pipe at once.
  void Start() {
    if (gate_[1] >= 0) close(gate_[1]);
    gate_[1] = -1;
  }

  // True while a child has not exited yet.
  bool AnyRunning() {
    for (pid_t& child : children_) {
      if (child > 0 && Reap(child, WNOHANG)) child = 0;
    }
    for (pid_t child : children_) {
      if (child > 0) return true;
    }
    return false;
  }

  // Waits for every child; true when each one exited with 0.
  bool WaitAll() {
    for (pid_t& child : children_) {
      if (child > 0) Reap(child, 0);
      child = 0;
    }
    return failures_ == 0;
  }

 private:
  // True when the child has exited; counts those that failed.
  bool Reap(pid_t child, int options) {
    int status = 0;
    pid_t reaped = 0;
    do {
      reaped = waitpid(child, &status, options);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == 0) return false;
    if (reaped < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) ++failures_;
    return true;
  }

  int gate_[2] = {-1, -1};
  std::vector<pid_t> children_;
  int failures_ = 0;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_PLATFORM_FORKED_PROCESSES_H
