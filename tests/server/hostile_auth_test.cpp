// Hostile clients and upstreams against nexoral-server: auth.
#include <gtest/gtest.h>

#include "e2e_support.h"

namespace nexoral::testing {
namespace {

}  // namespace
}  // namespace nexoral::testing
