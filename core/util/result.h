#pragma once
// The result convention for operations that can fail: a value or a typed error.
// Parsers of untrusted input that need no reason return std::optional instead.

#include <utility>
#include <variant>

namespace lumenbrook {

template <class E>
struct Failure {
  E error;
};
template <class E>
Failure(E) -> Failure<E>;

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Result(Failure<F> f) : v_(std::in_place_index<1>, E(std::move(f.error))) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok()
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  // REQUIRES: !ok()
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

// For operations with nothing to return.
struct Unit {
  friend bool operator==(Unit, Unit) = default;
};

}  // namespace lumenbrook
