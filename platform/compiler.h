// Compiler annotations that only some compilers know, spelled so that the
// others see nothing: headers use these instead of the GCC forms.
#pragma once

// Checks a printf-style call: the format is argument `format_index`, the
// values start at `first_value` (counting `this` as 1 in member functions).
#if defined(__GNUC__)
#define PLAT_PRINTF_FORMAT(format_index, first_value) \
    __attribute__((format(printf, format_index, first_value)))
#else
#define PLAT_PRINTF_FORMAT(format_index, first_value)
#endif

// Functions built for a wider instruction set than the build's, chosen at run
// time (GCC's target attribute and __builtin_cpu_supports on x86-64). GCC for
// Windows does not keep 32-byte stack alignment for spilled AVX registers, so
// the Windows build has none.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define PLAT_HAS_AVX2_TARGET 1
#else
#define PLAT_HAS_AVX2_TARGET 0
#endif
