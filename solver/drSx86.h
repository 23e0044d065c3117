// The x86 vector intrinsics, for the passes that run in vector lanes where
// the processor has them: DR_X86 is 1 when the build targets x86, and
// DR_LANES16_BEGIN / DR_LANES16_END bracket the code that uses them.
#pragma once

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define DR_X86 1
#else
#define DR_X86 0
#endif

// The 16-lane intrinsics start from a deliberately undefined vector, which
// GCC 12 reports as (possibly) uninitialised, depending on the inlining.
#if defined(__clang__)
#define DR_LANES16_BEGIN _Pragma("GCC diagnostic push")
#else
#define DR_LANES16_BEGIN                                            \
    _Pragma("GCC diagnostic push")                                  \
    _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")     \
    _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")
#endif
#define DR_LANES16_END _Pragma("GCC diagnostic pop")
