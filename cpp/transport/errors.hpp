// `_RetryMarketError` and the helpers that raise the module's exceptions.
#pragma once

#include <nanobind/nanobind.h>

#include "core/py_errors.hpp"
#include "transport/failure_verdicts.hpp"

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

// What `error` (an Exception) is, for the verdicts of failure_verdicts.hpp.
Fault describe_fault(nb::handle error);

// A fault after which the same request may simply be sent again (see `is_transient(Fault)`).
// `deadline` is the asyncio.timeout guarding the whole operation.
bool is_transient(const nb::python_error& error, nb::handle deadline);

// The ZqError of a give_up verdict on an HTTP answer, carrying `status` when the verdict says so.
nb::object refusal_error(const Verdict& verdict, nb::handle status);

// Acts on the verdict on an HTTP answer: returns to read the answer, raises _RetryMarketError
// to retry, raises the refusal otherwise.
void act_on_status(const Verdict& verdict, nb::handle status);

}  // namespace zqkit::transport
