#include "transport/errors.hpp"

#include <algorithm>
#include <cmath>

#include "core/py_ops.hpp"
#include "transport/module_state.hpp"

namespace zqkit::transport {

void bind_retry_error(nb::module_& m) {
    PyObject* type = PyErr_NewExceptionWithDoc("zqkit.transport._RetryMarketError",
                                               "仅供行情恢复流程使用的可重试服务故障。",
                                               PyExc_Exception, nullptr);
    if (type == nullptr) throw nb::python_error();
    m.attr("_RetryMarketError") = nb::steal(type);
}

nb::object retry_market_error() {
    return global("_RetryMarketError")();
}

nb::object zq_error(const char* message) {
    return global("ZqError")(message);
}

nb::object zq_error(const char* message, nb::handle status) {
    return global("ZqError")(message, nb::arg("status") = status);
}

nb::object backoff_delay(nb::handle failures) {
    long count = nb::cast<long>(failures);
    double delay = std::ldexp(0.5, static_cast<int>(std::clamp(count - 1, -1000L, 1000L)));
    if (delay > 8) return nb::int_(8);
    return nb::float_(delay);
}

bool is_transient(const nb::python_error& error, nb::handle deadline) {
    if (error.matches(global("aiohttp").attr("ClientError")) ||
        error.matches(global("_RetryMarketError")))
        return true;
    return error.matches(PyExc_TimeoutError) && !core::truthy(deadline.attr("expired")());
}

}  // namespace zqkit::transport
