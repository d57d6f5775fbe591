#include "transport/module_state.hpp"

#include "core/core.hpp"

namespace zqkit::transport {

namespace {
PyObject* the_module_dict = nullptr;
}  // namespace

void set_module_dict(nb::handle dict) {
    Py_XDECREF(the_module_dict);
    the_module_dict = dict.inc_ref().ptr();
}

nb::handle module_dict() {
    return the_module_dict;
}

nb::object global(const char* name) {
    return core::module_global(the_module_dict, name);
}

nb::object global(nb::handle name) {
    PyObject* value = PyDict_GetItemWithError(the_module_dict, name.ptr());
    if (value == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(value);
}

}  // namespace zqkit::transport
