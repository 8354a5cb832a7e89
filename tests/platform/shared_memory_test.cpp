// Named shared memory and the path and module-name rules the log relies on.
#include "platform/shared_memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "platform/error_codes.h"
#include "platform/file_system.h"
#include "platform/module_names.h"

namespace nexoral::platform {
namespace {

TEST(SharedMemoryTest, NamesMapOntoOnePosixObjectName) {
  EXPECT_EQ(SharedMemoryObjectName("Global\\ZQCommonLog.log"), "/nexoral.Global.ZQCommonLog.log");
  EXPECT_EQ(SharedMemoryObjectName("a/b\\c"), "/nexoral.a.b.c");
  EXPECT_EQ(SharedMemoryObjectName(std::string(500, 'n')).size(), 240u);
}

TEST(SharedMemoryTest, CreateOpenAndTheirFailures) {
  const std::string name = "Global\\shm-test-" + std::to_string(getpid());
  EXPECT_EQ(SharedMemory::Open(name), nullptr);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);

  auto created = SharedMemory::Create(name, 8192);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->Size(), 8192u);
  char* view = created->Map(8192);
  ASSERT_NE(view, nullptr);
  view[8191] = 'z';

  EXPECT_EQ(SharedMemory::Create(name, 4096), nullptr);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);

  auto opened = SharedMemory::Open(name);
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened->Map(8193), nullptr);  // beyond the object
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  const char* seen = opened->Map(8192);
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(seen[8191], 'z');
  EXPECT_TRUE(RemoveSharedMemory(name));
  EXPECT_FALSE(RemoveSharedMemory(name));
}

TEST(ModuleNamesTest, WindowsModuleNamesBecomeSharedObjects) {
  EXPECT_EQ(SharedObjectFileName("LogModule.dll"), "LogModule.so");
  EXPECT_EQ(SharedObjectFileName("Nexoral.DLL"), "Nexoral.so");
  EXPECT_EQ(SharedObjectFileName("Convert"), "Convert.so");
  EXPECT_EQ(SharedObjectFileName("/opt/x.y/bin/Worker.dll"), "/opt/x.y/bin/Worker.so");
  EXPECT_EQ(SharedObjectFileName("/opt/x.y/bin/Worker"), "/opt/x.y/bin/Worker.so");
  EXPECT_EQ(SharedObjectFileName("libfoo.so"), "libfoo.so");
}

TEST(FileSystemTest, PathsSplitIntoFolderAndName) {
  EXPECT_EQ(ParentFolder("/a/b/c.log"), "/a/b");
  EXPECT_EQ(ParentFolder("/c.log"), "/");
  EXPECT_EQ(ParentFolder("c.log"), "");
  EXPECT_EQ(FileNameOf("/a/b/c.log"), "c.log");
  EXPECT_EQ(FileNameOf("c.log"), "c.log");
}

}  // namespace
}  // namespace nexoral::platform
