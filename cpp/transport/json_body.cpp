#include "transport/json_body.hpp"

#include "transport/errors.hpp"

namespace zqkit::transport {

using namespace nb::literals;

core::Task<nb::object> read_json_body(nb::object response, const char* invalid) {
    nb::object reading = response.attr("json")("content_type"_a = nb::none());
    nb::object body;
    try {
        body = co_await std::move(reading);
    } catch (const nb::python_error& error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_UnicodeError)) throw;
        core::raise_from_none(zq_error(invalid));
    }
    co_return body;
}

}  // namespace zqkit::transport
