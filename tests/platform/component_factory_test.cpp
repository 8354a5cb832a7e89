// The component model: apartments, where a component comes from, and instance lifetime.
#include "platform/component_factory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/error_codes.h"

namespace nexoral {
namespace {

class ICounter : public platform::IComponentUnknown {
 public:
  static constexpr char kInterfaceId[] = "ICounter";
  virtual int Next() = 0;
};

int liveCounters = 0;

class Counter final : public platform::RefCounted<ICounter> {
 public:
  Counter() { ++liveCounters; }
  ~Counter() override { --liveCounters; }
  int Next() override { return ++value_; }

 private:
  int value_ = 0;
};

HRESULT CreateCounter(const char* interfaceId, void** instance) {
  if (std::strcmp(interfaceId, ICounter::kInterfaceId) != 0) return E_NOINTERFACE;
  *instance = static_cast<ICounter*>(new Counter());
  return kSOk;
}

class ComponentFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Succeeded(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override {
    platform::RegisterInProcessComponent("Counter", nullptr);
    unsetenv(platform::kComponentsFolderVariable);
  }
};

TEST(ApartmentTest, AThreadStaysInTheKindItJoinedFirst) {
  std::thread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), kSOk);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), kSFalse);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
  }).join();
  std::thread([] {
    EXPECT_EQ(CoInitializeEx(nullptr, 7), kEInvalidArg);
    int reserved = 0;
    EXPECT_EQ(CoInitializeEx(&reserved, COINIT_MULTITHREADED), kEInvalidArg);
    void* instance = &reserved;
    EXPECT_EQ(CoCreateInstance("Counter", "ICounter", &instance), CO_E_NOTINITIALIZED);
    EXPECT_EQ(instance, nullptr);
  }).join();
}

TEST_F(ComponentFactoryTest, RegisteredComponentsAreCreatedAndTheLastReleaseDestroysThem) {
  platform::ComPtr<ICounter> counter;
  EXPECT_EQ(CreateComponentInstance("Counter", &counter), REGDB_E_CLASSNOTREG);
  EXPECT_FALSE(counter);
  platform::RegisterInProcessComponent("Counter", CreateCounter);
  ASSERT_EQ(CreateComponentInstance("Counter", &counter), kSOk);
  EXPECT_EQ(counter->Next(), 1);
  EXPECT_EQ(liveCounters, 1);
  counter->AddRef();
  counter->Release();
  EXPECT_EQ(liveCounters, 1);
  {
    platform::ComPtr<ICounter> moved(std::move(counter));
    EXPECT_EQ(moved->Next(), 2);
  }
  EXPECT_EQ(liveCounters, 0);
  void* instance = nullptr;
  EXPECT_EQ(CoCreateInstance("Counter", "IOther", &instance), E_NOINTERFACE);
  EXPECT_EQ(instance, nullptr);
  // Every thread sees a removal, also one that created the component before.
  platform::RegisterInProcessComponent("Counter", nullptr);
  EXPECT_EQ(CreateComponentInstance("Counter", &counter), REGDB_E_CLASSNOTREG);
}

TEST_F(ComponentFactoryTest, BadArgumentsFailWithoutACrash) {
  void* instance = nullptr;
  EXPECT_EQ(CoCreateInstance(nullptr, "ICounter", &instance), kEInvalidArg);
  EXPECT_EQ(CoCreateInstance("", "ICounter", &instance), kEInvalidArg);
  EXPECT_EQ(CoCreateInstance("Counter", nullptr, &instance), kEInvalidArg);
  EXPECT_EQ(CoCreateInstance("Counter", "ICounter", nullptr), E_POINTER);
}

TEST_F(ComponentFactoryTest, TheConfiguredFolderIsTheOnlyPlaceLookedIn) {
  setenv(platform::kComponentsFolderVariable, "/opt/components", 1);
  EXPECT_EQ(platform::ComponentModulePaths("ZQCache"),
            (std::vector<std::string>{"/opt/components/ZQCache.so"}));
  setenv(platform::kComponentsFolderVariable, "", 1);
  const std::vector<std::string> paths = platform::ComponentModulePaths("ZqExchangeAccess.dll");
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_NE(paths[0].find("/Common Files/bin/ZqExchangeAccess.so"), std::string::npos);
  EXPECT_EQ(paths[0][0], '/');
  EXPECT_EQ(paths[1], "ZqExchangeAccess.so");
}

TEST_F(ComponentFactoryTest, AComponentModuleIsLoadedFromTheConfiguredFolder) {
  setenv(platform::kComponentsFolderVariable, NEXORAL_COMPONENTS_BUILD_DIR, 1);
  void* instance = nullptr;
  ASSERT_EQ(CoCreateInstance("ZQCache", "IZQCache", &instance), kSOk);
  ASSERT_NE(instance, nullptr);
  static_cast<platform::IComponentUnknown*>(instance)->Release();
  EXPECT_EQ(CoCreateInstance("ZQCache", "ICounter", &instance), E_NOINTERFACE);
  EXPECT_EQ(CoCreateInstance("NoSuchComponent", "ICounter", &instance), REGDB_E_CLASSNOTREG);
}

}  // namespace
}  // namespace nexoral
