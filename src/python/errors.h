// Python exceptions from this code base's errors, for both modules: every
// exception either module raises is created here. Each function sets the
// interpreter's pending exception and returns; the caller then returns its
// error value (NULL, -1, false), or inside the nanobind module throws
// nanobind::python_error, which takes the pending exception over. Plain
// CPython API; call with the interpreter lock held.
#pragma once

#include <string>

#include "core/error.h"
#include "python/pyref.h"

namespace sonorik::py {

// `type` (a borrowed exception class) with `message`, decoded as UTF-8 with
// bad bytes replaced.
void raise(PyObject* type, const std::string& message) noexcept;

// An OSError about `path` (borrowed: the str or bytes os.fspath gave).
// With error.os_errno(): OSError(errno, the system's description, path),
// which Python makes the matching subclass (FileNotFoundError,
// PermissionError, IsADirectoryError, ...); str() shows
// "[Errno 2] No such file or directory: 'path'". Without: a plain OSError
// "{message, trailing dots and spaces dropped}: {repr(path)}".
void raise_os_error(const Error& error, PyObject* path);

// The class raised for a fatal error inside a call of the sonorik module:
// derived from BaseException so that `except Exception` does not swallow it.
// Created on first use and kept for the life of the process; null (with an
// exception set) when it cannot be created.
PyObject* fatal_call_error_type() noexcept;

// Raises FatalCallError(message); a null or empty message gives a fixed
// generic text.
void raise_fatal(const char* message) noexcept;

// The exception for the C++ exception being handled: MemoryError for
// std::bad_alloc and std::length_error (a vector too long to allocate),
// FatalCallError with what() for any other std::exception, FatalCallError
// with the generic text for anything else. Call only inside a catch block.
void raise_current_exception() noexcept;

// What a call stopped by SIGINT or SIGTERM raises (core/interrupt.h): the
// signal's Python handler runs now (on the main thread: KeyboardInterrupt, or
// what the handler raises); where it raises nothing (another thread, or a
// handler that returns), KeyboardInterrupt.
void raise_interrupted() noexcept;

// Replaces a pending exception of exactly class TypeError by TypeError
// "argument '{name}': {its text}" with the same __cause__; any other pending
// exception is left as it is.
void rewrap_argument_error(const char* name) noexcept;

// Takes the pending exception over (null when none is pending), so that
// it can be raised later as the cause of another (raise_with_cause).
PyRef take_pending_exception() noexcept;

// Raises `type` with `message`, its __cause__ set to `cause` (taken; may be
// null). Where `cause` is not an Exception (KeyboardInterrupt, SystemExit)
// it is raised again itself instead.
void raise_with_cause(PyObject* type, const std::string& message, PyRef cause) noexcept;

}  // namespace sonorik::py
