#include "transport/errors.hpp"

#include "transport/module_state.hpp"
#include "transport/python_ops.hpp"

namespace zqkit::transport {

void bind_retry_error(nb::module_& m) {
    PyObject* type = PyErr_NewExceptionWithDoc("zqkit.transport._RetryMarketError",
                                               "仅供行情恢复流程使用的可重试服务故障。",
                                               PyExc_Exception, nullptr);
    if (type == nullptr) throw nb::python_error();
    m.attr("_RetryMarketError") = nb::steal(type);
}

void raise_error_object(nb::handle error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw nb::python_error();
}

void raise_from_none(nb::handle error) {
    // Setting __cause__ (even to None) also sets __suppress_context__, as `from None` does.
    if (PyObject_SetAttrString(error.ptr(), "__cause__", Py_None) != 0) throw nb::python_error();
    raise_error_object(error);
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

bool is_instance_of_global(nb::handle error, const char* name) {
    return is_instance(error, global(name));
}

}  // namespace zqkit::transport
