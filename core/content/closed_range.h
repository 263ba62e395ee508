#pragma once
// An inclusive range of values, the form every limit of the content records takes.

#include <algorithm>

namespace lumenbrook {

template <class T>
struct ClosedRange {
  T lower;
  T upper;

  // REQUIRES: lower <= upper. NaN is passed through; callers decide what it becomes.
  constexpr T clamp(T v) const { return v < lower ? lower : (v > upper ? upper : v); }
  constexpr bool contains(T v) const { return v >= lower && v <= upper; }

  friend constexpr bool operator==(const ClosedRange&, const ClosedRange&) = default;
};

}  // namespace lumenbrook
