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

}  // namespace zqkit::core
