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
