// Result<T, E>: a value or a caller-caused error, returned up the call chain
// instead of thrown.
#pragma once

#include <utility>
#include <variant>

#include "base/panic.h"

namespace velmora {

template <typename E>
struct Err {
  // A constructor rather than aggregate init: clang 14 has no parenthesized
  // aggregate initialization, and `Err(e)` must build there too.
  explicit Err(E e) : error(std::move(e)) {}
  E error;
};
template <typename E>
Err(E) -> Err<E>;

template <typename T, typename E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Err<E> err) : v_(std::in_place_index<1>, std::move(err.error)) {}  // NOLINT

  [[nodiscard]] bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return checked_value(); }
  const T& value() const& { return const_cast<Result*>(this)->checked_value(); }
  T&& value() && { return std::move(checked_value()); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const E& error() const {
    if (ok()) panic("Result::error() on a value");
    return std::get<1>(v_);
  }

 private:
  T& checked_value() {
    if (!ok()) panic("Result::value() on an error");
    return std::get<0>(v_);
  }
  std::variant<T, E> v_;
};

// A result with no value: success, or an error.
template <typename E>
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Err<E> err) : err_(std::move(err.error)), failed_(true) {}  // NOLINT
  [[nodiscard]] bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const E& error() const {
    if (ok()) panic("Status::error() on success");
    return err_;
  }

 private:
  E err_{};
  bool failed_ = false;
};

}  // namespace velmora
