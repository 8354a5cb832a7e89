// The calling thread's id as the system shows it (the kernel's thread id).
#ifndef NEXORAL_PLATFORM_THREAD_ID_H
#define NEXORAL_PLATFORM_THREAD_ID_H

#include <unistd.h>

namespace nexoral::platform {

inline unsigned CurrentThreadId() { return static_cast<unsigned>(gettid()); }

}  // namespace nexoral::platform

#endif  // NEXORAL_PLATFORM_THREAD_ID_H
