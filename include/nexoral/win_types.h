// Fixed-width scalar types of the filter interface, in the spelling its records use.
// Shared by the module, the web server and every service worker; no behaviour here.
#ifndef NEXORAL_WIN_TYPES_H
#define NEXORAL_WIN_TYPES_H

#include <cstdint>

typedef uint32_t DWORD;       // unsigned 32-bit count, flag set or code
typedef int32_t BOOL;         // 32-bit truth value: 0 is false, anything else true
typedef int32_t HRESULT;      // COM-style result: negative values are failures
typedef uintptr_t ULONG_PTR;  // pointer-sized unsigned argument
typedef void* HANDLE;         // opaque handle issued by the runtime (tokens)

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// The value a failed handle-producing call leaves behind; never a valid handle.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#endif  // NEXORAL_WIN_TYPES_H
