// Debugger output: short diagnostic texts meant for whoever watches the process (stderr here).
#ifndef NEXORAL_PLATFORM_DEBUG_OUTPUT_H
#define NEXORAL_PLATFORM_DEBUG_OUTPUT_H

namespace nexoral::platform {

// Writes text as it is. Safe during process exit; never throws.
void OutputDebugString(const char* text) noexcept;

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_DEBUG_OUTPUT_H
