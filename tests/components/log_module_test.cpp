// The log module's locks: one object per log name, shared between processes, and never left
// stuck by a holder that dies.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "diagnostics/log_module_api.h"
#include "harness/temp_folder.h"
#include "platform/module_loader.h"

namespace nexoral {
namespace {

class LogModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = platform::LoadedModule::Load(NEXORAL_LOG_MODULE_PATH);
    ASSERT_NE(module_, nullptr);
    getProductLock_ = module_->FindFunction<GetProductLockFunction>(kGetProductLockExport);
    getGeneralLock_ = module_->FindFunction<GetGeneralLockFunction>(kGetGeneralLockExport);
    ASSERT_NE(getProductLock_, nullptr);
    ASSERT_NE(getGeneralLock_, nullptr);
  }
  void TearDown() override { shm_unlink(("/nexoral.loglock." + logName_).c_str()); }

  CSync* ProductLock(const std::string& name, int option = 1) {
    CSync* lock = nullptr;
    getProductLock_(name.c_str(), &lock, option);
    return lock;
  }

  // Waits for the process and tells whether it exited with code 0.
  static bool ExitedCleanly(pid_t child) {
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  std::unique_ptr<platform::LoadedModule> module_;
  GetProductLockFunction getProductLock_ = nullptr;
  GetGeneralLockFunction getGeneralLock_ = nullptr;
  const std::string logName_ = testing::UniqueName("LockTest");
};

TEST_F(LogModuleTest, EachLogNameHasOneLockPerKind) {
  CSync* shared = ProductLock(logName_);
  ASSERT_NE(shared, nullptr);
  EXPECT_EQ(ProductLock(logName_), shared);
  EXPECT_NE(ProductLock(logName_ + "-other"), shared);
  CSync* local = ProductLock(logName_, 0);
  ASSERT_NE(local, nullptr);
  EXPECT_NE(local, shared);

  CSync* general = nullptr;
  getGeneralLock_(&general, 1);
  ASSERT_NE(general, nullptr);
  CSync* again = nullptr;
  getGeneralLock_(&again, 1);
  EXPECT_EQ(again, general);
  shm_unlink(("/nexoral.loglock." + logName_ + "-other").c_str());
}

TEST_F(LogModuleTest, TheHolderMayLockAgainAndOthersWait) {
  CSync* lock = ProductLock(logName_);
  ASSERT_NE(lock, nullptr);
  lock->Lock();
  lock->Lock();
  EXPECT_TRUE(lock->IsLocked());
  bool otherThreadGotIt = true;
  std::thread([&] { otherThreadGotIt = lock->TryLock() != 0; }).join();
  EXPECT_FALSE(otherThreadGotIt);
  lock->Unlock();
  lock->Unlock();
  EXPECT_FALSE(lock->IsLocked());
  std::thread([&] {
    otherThreadGotIt = lock->TryLock() != 0;
    if (otherThreadGotIt) lock->Unlock();
  }).join();
  EXPECT_TRUE(otherThreadGotIt);
}

TEST_F(LogModuleTest, ALockHeldByAProcessThatDiedIsTakenOver) {
  CSync* lock = ProductLock(logName_);
  ASSERT_NE(lock, nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    lock->Lock();
    _exit(0);  // dies holding the lock
  }
  ASSERT_TRUE(ExitedCleanly(child));
  bool taken = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!taken && std::chrono::steady_clock::now() < deadline) {
    taken = lock->TryLock() != 0;
    if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(taken);
  lock->Unlock();
}

TEST_F(LogModuleTest, ProcessesAskingForTheSameNameExcludeEachOther) {
  constexpr int kProcesses = 2;
  constexpr int kRounds = 20000;
  void* shared = mmap(nullptr, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* counter = static_cast<volatile long*>(shared);
  *counter = 0;
  pid_t children[kProcesses];
  for (pid_t& child : children) {
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      CSync* lock = ProductLock(logName_);  // asked for anew, as each worker process does
      if (lock == nullptr) _exit(1);
      for (int round = 0; round < kRounds; ++round) {
        lock->Lock();
        const long seen = *counter;
        if (round % 64 == 0) sched_yield();
        *counter = seen + 1;
        lock->Unlock();
      }
      _exit(0);
    }
  }
  for (pid_t child : children) EXPECT_TRUE(ExitedCleanly(child));
  EXPECT_EQ(*counter, static_cast<long>(kProcesses) * kRounds);
  munmap(shared, sizeof(long));
}

}  // namespace
}  // namespace nexoral
