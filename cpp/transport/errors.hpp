// `_RetryMarketError` and the helpers that raise the module's exceptions.
#pragma once

#include <nanobind/nanobind.h>

#include "core/py_errors.hpp"

namespace zqkit::transport {

namespace nb = nanobind;

void bind_retry_error(nb::module_& m);

// A new `_RetryMarketError()`, the class looked up in the module.
nb::object retry_market_error();

// A new `ZqError(message)` or `ZqError(message, status=status)`.
nb::object zq_error(const char* message);
nb::object zq_error(const char* message, nb::handle status);

}  // namespace zqkit::transport

namespace zqkit::transport {

// min(0.5 * 2 ** (failures - 1), 8): the pause after the n-th failure of a query or a
// verification (0.5, 1, 2, 4, 8, 8 ... seconds).
nb::object backoff_delay(nb::handle failures);

// A fault after which the same request may simply be sent again: a connection error,
// `_RetryMarketError`, or the session's own per-request time-out. `deadline` is the
// asyncio.timeout guarding the whole operation; once it has expired, a TimeoutError is its
// verdict and no longer a single request's.
bool is_transient(const nb::python_error& error, nb::handle deadline);

}  // namespace zqkit::transport
