// The one error type of the code base: a message plus an optional cause and,
// for an operating-system failure, its errno; and Result<T>, the
// value-or-error that every operation below the Python frame returns.
// Displayed plainly an error shows its own (outermost) message only; the
// causes are carried for diagnostics and tests.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace sonorik {

class Error {
 public:
  explicit Error(std::string message) : message_(std::move(message)) {}
  Error(std::string message, Error cause)
      : message_(std::move(message)), cause_(std::make_shared<const Error>(std::move(cause))) {}
  // An operating-system failure: `message` describes errno value `os_errno`
  // (core/text.h os_error() makes these).
  static Error with_os_errno(std::string message, int os_errno) {
    Error e(std::move(message));
    e.os_errno_ = os_errno;
    return e;
  }

  // The outermost message: what the entry points show.
  const std::string& message() const noexcept { return message_; }
  // The error this one was raised from, or nullptr.
  const Error* cause() const noexcept { return cause_.get(); }
  // The errno of an operating-system failure, for this error itself (an
  // error made from another one, with its own message, has none).
  std::optional<int> os_errno() const noexcept { return os_errno_; }
  // Every message of the chain joined by ": " (for logs and tests).
  std::string chain() const;

 private:
  std::string message_;
  std::shared_ptr<const Error> cause_;
  std::optional<int> os_errno_;
};

// Value or Error. Deliberately small: construct from either, test with ok(),
// read with value() / error(). Reading the wrong side is a programming error
// and throws std::logic_error (the Python frame turns it into FatalCallError).
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}      // NOLINT
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }

  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

// Success without a value.
struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace sonorik
