#include "core/core.hpp"

namespace zqkit::core {

nb::object module_global(nb::handle module_dict, const char* name) {
    PyObject* value = PyDict_GetItemString(module_dict.ptr(), name);
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw nb::python_error();
    }
    return nb::borrow(value);
}

nb::object module_global(nb::handle module_dict, nb::handle name) {
    PyObject* value = PyDict_GetItemWithError(module_dict.ptr(), name.ptr());
    if (value == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(value);
}

}  // namespace zqkit::core
