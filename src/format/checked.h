// SPDX-License-Identifier: GPL-3.0-or-later
// Arithmetic that reports overflow instead of wrapping.
#pragma once

#include <optional>
#include <type_traits>

namespace kestrova {

template <typename T>
requires std::is_integral_v<T> std::optional<T> CheckedAdd(T a, T b) {
  T result;
  if (__builtin_add_overflow(a, b, &result)) return std::nullopt;
  return result;
}

template <typename T>
requires std::is_integral_v<T> std::optional<T> CheckedMul(T a, T b) {
  T result;
  if (__builtin_mul_overflow(a, b, &result)) return std::nullopt;
  return result;
}

}  // namespace kestrova
