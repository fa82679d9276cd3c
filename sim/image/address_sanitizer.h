// Whether this code is built with AddressSanitizer (ZARN_ASAN), with the runtime's interface then:
// the simulator's memory poisons what the driver may not touch, and the debugger's reads stop at it.
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZARN_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZARN_ASAN 1
#endif
#if defined(ZARN_ASAN)
#include <sanitizer/asan_interface.h>
#endif
