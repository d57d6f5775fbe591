#include "transport/python_ops.hpp"

namespace zqkit::transport {

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

Py_ssize_t size_of(nb::handle value) {
    Py_ssize_t size = PyObject_Size(value.ptr());
    if (size < 0) throw nb::python_error();
    return size;
}

bool contains(nb::handle container, nb::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw nb::python_error();
    return found == 1;
}

bool starts_with(nb::handle text, const char* prefix) {
    if (PyUnicode_CheckExact(text.ptr())) {
        nb::str prefix_object(prefix);
        Py_ssize_t found =
            PyUnicode_Tailmatch(text.ptr(), prefix_object.ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (found < 0) throw nb::python_error();
        return found == 1;
    }
    return truthy(text.attr("startswith")(prefix));
}

bool is_instance(nb::handle value, nb::handle cls) {
    int result = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

}  // namespace zqkit::transport
