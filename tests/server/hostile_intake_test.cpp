// Hostile clients and upstreams against nexoral-server: intake.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace nexoral::testing {
namespace {

}  // namespace
}  // namespace nexoral::testing
