// `_RetryMarketError` and the helpers that raise the module's exceptions.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::transport {

namespace nb = nanobind;

void bind_retry_error(nb::module_& m);

// Raises `error` as `raise error` would.
[[noreturn]] void raise_error_object(nb::handle error);

// Raises `error` as `raise error from None` would.
[[noreturn]] void raise_from_none(nb::handle error);

// A new `_RetryMarketError()`, the class looked up in the module.
nb::object retry_market_error();

// A new `ZqError(message)` or `ZqError(message, status=status)`.
nb::object zq_error(const char* message);
nb::object zq_error(const char* message, nb::handle status);

// Whether `error` is an instance of the module global `name` (an exception class).
bool is_instance_of_global(nb::handle error, const char* name);

}  // namespace zqkit::transport
