// Marks memory that must not be touched, where AddressSanitizer runs: the
// bytes around a large aligned block, and the blocks the reuse pool keeps, so
// that a step past a block or a use after release is caught as it would be
// with plain allocations. Elsewhere the marks compile to nothing.
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CORVANE_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(CORVANE_ADDRESS_SANITIZER)
#include <sanitizer/asan_interface.h>
#define CORVANE_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define CORVANE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define CORVANE_POISON(p, n) ((void)(p), (void)(n))
#define CORVANE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif
