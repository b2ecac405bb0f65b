// Whether the tests (and the programs they run, built alike) are under
// AddressSanitizer. GCC says so with a macro, Clang through __has_feature.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define TRELVO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRELVO_ASAN 1
#endif
#endif
#ifndef TRELVO_ASAN
#define TRELVO_ASAN 0
#endif

inline constexpr bool kAsan = TRELVO_ASAN != 0;
