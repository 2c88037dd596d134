// A value or an error, passed back instead of thrown.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace qel {

template <class E>
struct Err {
  E error;
};

// Wraps an error so that it converts into any Result with that error type.
template <class E>
Err<std::decay_t<E>> fail(E&& error) {
  return Err<std::decay_t<E>>{std::forward<E>(error)};
}
inline Err<std::string> fail(const char* error) { return Err<std::string>{error}; }

template <class T, class E = std::string>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class E2, class = std::enable_if_t<std::is_convertible_v<E2, E>>>
  Result(Err<E2> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class E2, class = std::enable_if_t<std::is_convertible_v<E2, E>>>
  Result(Err<E2> e) : failed_(true), error_(std::move(e.error)) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  E& error() & { return error_; }
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  bool failed_ = false;
  E error_{};
};

// Success without a value, or one error text.
using Status = Result<void>;

}  // namespace qel
