// Early return of the error of a std::expected, as every fallible step of
// the core is written. VELNOR_TRY returns the error of `expr`, if any;
// VELNOR_TRY_ASSIGN also binds its value to a new local `lhs`.
#pragma once

#include <expected>
#include <utility>

#define VELNOR_TRY_ASSIGN(lhs, expr)                                \
  auto lhs##_r = (expr);                                            \
  if (!lhs##_r) return std::unexpected(std::move(lhs##_r).error()); \
  auto lhs = *std::move(lhs##_r)

#define VELNOR_TRY(expr)                                            \
  do {                                                              \
    auto try_r_ = (expr);                                           \
    if (!try_r_) return std::unexpected(std::move(try_r_).error()); \
  } while (0)
