#include "core/py_ops.hpp"

#include "core/py_errors.hpp"

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
    return starts_with(text, nb::str(prefix));
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

PyObject* keyword_names(std::initializer_list<const InternedName*> names) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (tuple == nullptr) throw nb::python_error();
    Py_ssize_t index = 0;
    for (const InternedName* name : names) {
        PyObject* text = name->ptr();
        Py_INCREF(text);
        PyTuple_SET_ITEM(tuple, index++, text);
    }
    return tuple;  // kept: see the header
}

void raise_key_error(nb::handle key) {
    raise(nb::handle(PyExc_KeyError)(key));
}

nb::object pop(nb::handle mapping, nb::handle key) {
    if (!PyDict_CheckExact(mapping.ptr())) return call_method(mapping, method::pop, key);
    PyObject* found = dict_lookup(mapping, key);
    if (found == nullptr) raise_key_error(key);
    nb::object value = nb::borrow(found);
    checked_status(PyDict_DelItem(mapping.ptr(), key.ptr()));
    return value;
}

nb::object pop(nb::handle mapping, nb::handle key, nb::handle fallback) {
    if (!PyDict_CheckExact(mapping.ptr())) return call_method(mapping, method::pop, key, fallback);
    PyObject* found = dict_lookup(mapping, key);
    if (found == nullptr) return nb::borrow(fallback);
    nb::object value = nb::borrow(found);
    checked_status(PyDict_DelItem(mapping.ptr(), key.ptr()));
    return value;
}

nb::object values_list(nb::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return checked(PyDict_Values(mapping.ptr()));
    return checked(PySequence_List(call_method(mapping, method::values).ptr()));
}

nb::object items_list(nb::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return checked(PyDict_Items(mapping.ptr()));
    return checked(PySequence_List(call_method(mapping, method::items).ptr()));
}

nb::object stripped(nb::handle text) {
    PyObject* string = text.ptr();
    if (!PyUnicode_CheckExact(string)) return call_method(text, method::strip);
    Py_ssize_t end = PyUnicode_GET_LENGTH(string);
    Py_ssize_t start = 0;
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(string, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(string, end - 1))) --end;
    if (start == 0 && end == PyUnicode_GET_LENGTH(string)) return nb::borrow(text);
    return checked(PyUnicode_Substring(string, start, end));
}

}  // namespace zqkit::core
