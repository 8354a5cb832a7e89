// Stand-ins for the two components whose every call runs what the test scripted: return a
// result, fill in answers, or throw. Registered in process under the components' own names,
// so that the clients meet them instead of the real shared objects.
#ifndef NEXORAL_TESTS_PROPERTIES_COMPONENT_DOUBLES_H
#define NEXORAL_TESTS_PROPERTIES_COMPONENT_DOUBLES_H

#include <functional>
#include <string>

#include "cache/cache_interface.h"
#include "mailbox/exchange_access_interface.h"

namespace nexoral::testing {

// What every call of the scripted cache does; counts the calls.
struct CacheScript {
  std::function<HRESULT()> onCall = [] { return 0; };
  int calls = 0;
};

// What the scripted mailbox component does.
struct AccessScript {
  std::function<HRESULT(int32_t* returnCode)> onInitialize = [](int32_t*) { return 0; };
  std::function<HRESULT(PropertyValues* values, int32_t* errorCount)> onRead =
      [](PropertyValues*, int32_t*) { return 0; };
};

// Registers the scripted components for the scope of the object.
class ScriptedComponents {
 public:
  ScriptedComponents();
  ~ScriptedComponents();
  ScriptedComponents(const ScriptedComponents&) = delete;
  ScriptedComponents& operator=(const ScriptedComponents&) = delete;

  CacheScript& Cache();
  AccessScript& Access();
};

}  // namespace nexoral::testing

#endif  // NEXORAL_TESTS_PROPERTIES_COMPONENT_DOUBLES_H
