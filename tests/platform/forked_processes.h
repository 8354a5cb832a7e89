// Child processes that start their work at the same moment, for tests of what several
// processes do to one file at once. Fork only from a single-threaded test; each child runs its
// work and leaves with _exit, so it never returns into the test framework.
#ifndef NEXORAL_TESTS_PLATFORM_FORKED_PROCESSES_H
#define NEXORAL_TESTS_PLATFORM_FORKED_PROCESSES_H

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
    WaitAll();
    close(gate_[0]);
  }
  ForkedProcesses(const ForkedProcesses&) = delete;

  // Forks a child that waits for Start, runs work and exits with its result (0 for success).
  void Fork(const std::function<int()>& work) {
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child > 0) return children_.push_back(child);
    close(gate_[1]);
    char ignored = 0;
    while (read(gate_[0], &ignored, 1) < 0 && errno == EINTR) continue;
    try {
      _exit(work());
    } catch (...) {
      _exit(2);
    }
  }

  // Lets every child run: they all wake on the end of the pipe at once.
  void Start() {
    if (gate_[1] >= 0) close(gate_[1]);
    gate_[1] = -1;
  }

  // True while a child has not exited yet.
  bool AnyRunning() { return Reap(WNOHANG); }

  // Starts the children when not done yet and waits for each; true when each exited with 0.
  bool WaitAll() {
    Start();
    Reap(0);
    return failures_ == 0;
  }

 private:
  // Reaps the children that have exited, counting those that failed; true while one runs.
  bool Reap(int options) {
    bool running = false;
    for (pid_t& child : children_) {
      int status = 0;
      pid_t done = -1;
      while (child > 0 && (done = waitpid(child, &status, options)) < 0 && errno == EINTR) continue;
      running |= child > 0 && done == 0;
      if (child <= 0 || done == 0) continue;
      failures_ += done < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ? 1 : 0;
      child = 0;
    }
    return running;
  }

  int gate_[2] = {-1, -1};
  std::vector<pid_t> children_;
  int failures_ = 0;
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_PLATFORM_FORKED_PROCESSES_H
