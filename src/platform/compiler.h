// What differs between compilers, so that the core needs no test of its own.
#pragma once

// Lets the compiler check a printf-style format against its arguments.
#if defined(__GNUC__)
#define STOW_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define STOW_PRINTF_FORMAT(format_index, first_arg)
#endif
