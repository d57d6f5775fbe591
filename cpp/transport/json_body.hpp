// Reading the JSON answer of the market and verification services.
#pragma once

#include <nanobind/nanobind.h>

#include "core/coro.hpp"

namespace zqkit::transport {

namespace nb = nanobind;

// The JSON body of `response`, whatever its content type: a 200 answer that is not JSON is an
// invalid answer, not a fault to retry. Not JSON raises ZqError(`invalid`) without a cause.
core::Task<nb::object> read_json_body(nb::object response, const char* invalid);

}  // namespace zqkit::transport
