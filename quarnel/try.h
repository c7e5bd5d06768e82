// Internal: the one way errors are forwarded. A failed std::expected goes to
// the caller unchanged, its error converted only where the caller's error
// type is built from it.
#pragma once

#include <expected>
#include <utility>

// Returns the error of `expr` when it failed.
#define QUARNEL_TRY(expr)                                       \
  do {                                                          \
    if (auto quarnel_try_ = (expr); !quarnel_try_) [[unlikely]] \
      return std::unexpected(std::move(quarnel_try_).error());  \
  } while (false)

// Declares `var` as the value of `expr`, or returns the error of `expr`.
#define QUARNEL_TRY_ASSIGN(var, expr)                      \
  auto var##_try_ = (expr);                                \
  if (!var##_try_) [[unlikely]]                            \
    return std::unexpected(std::move(var##_try_).error()); \
  auto var = std::move(*var##_try_)
