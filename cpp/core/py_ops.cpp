#include "core/py_ops.hpp"

namespace zqkit::core {

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

std::vector<nb::object> unpack(nb::handle item, size_t count) {
    nb::object iterator = nb::steal(PyObject_GetIter(item.ptr()));
    if (!iterator.is_valid()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(item.ptr())->tp_name);
        }
        throw nb::python_error();
    }
    std::vector<nb::object> parts;
    parts.reserve(count);
    while (parts.size() < count) {
        PyObject* part = PyIter_Next(iterator.ptr());
        if (part == nullptr) {
            if (PyErr_Occurred()) throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)",
                         count, parts.size());
            throw nb::python_error();
        }
        parts.push_back(nb::steal(part));
    }
    nb::object extra = nb::steal(PyIter_Next(iterator.ptr()));
    if (extra.is_valid()) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", count);
        throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return parts;
}

nb::handle intern(const char* text) {
    PyObject* string = PyUnicode_InternFromString(text);
    if (string == nullptr) throw nb::python_error();
    return string;  // kept: see the header
}

}  // namespace zqkit::core
