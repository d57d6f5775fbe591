#include "transport/errors.hpp"

#include <algorithm>
#include <cmath>

#include "core/py_ops.hpp"
#include "transport/module_state.hpp"
#include "transport/timing_policy.hpp"

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
    double delay = std::ldexp(timing::exchange_first_pause_seconds,
                              static_cast<int>(std::clamp(count - 1, -1000L, 1000L)));
    if (delay > timing::exchange_max_pause_seconds)
        return nb::int_(timing::exchange_max_pause_seconds);
    return nb::float_(delay);
}

Fault describe_fault(nb::handle error) {
    return {.zq_error = core::is_instance(error, global("ZqError")),
            .connection = core::is_instance(error, global("aiohttp").attr("ClientError")),
            .retry_market = core::is_instance(error, global("_RetryMarketError")),
            .timeout = core::is_instance(error, PyExc_TimeoutError)};
}

bool is_transient(const nb::python_error& error, nb::handle deadline) {
    Fault fault = describe_fault(error.value());
    bool expired = fault.timeout && core::truthy(deadline.attr("expired")());
    return is_transient(fault, expired);
}

nb::object refusal_error(const Verdict& verdict, nb::handle status) {
    return verdict.with_status ? zq_error(verdict.message, status) : zq_error(verdict.message);
}

void act_on_status(const Verdict& verdict, nb::handle status) {
    switch (verdict.action) {
        case Action::proceed:
            return;
        case Action::retry:
            core::raise(retry_market_error());
        case Action::give_up:
            core::raise(refusal_error(verdict, status));
    }
}

}  // namespace zqkit::transport
