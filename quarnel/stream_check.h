// Internal: the one gate for tests on untrusted stream bytes: every check a
// decoder makes on what it reads goes through QUARNEL_CHECK, so the checks are
// easy to find, audit and count. The error expression is evaluated only on
// failure.
#pragma once

#include <expected>

#define QUARNEL_CHECK(condition, error) \
  do {                                  \
    if (!(condition)) [[unlikely]] {    \
      return std::unexpected((error));  \
    }                                   \
  } while (false)
