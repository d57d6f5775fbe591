#include "trading/book_ops.hpp"

#include "trading/module_state.hpp"

namespace zqkit::trading::book {

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
    core::raise(nb::handle(PyExc_KeyError)(key));
}

nb::object pop(nb::handle mapping, nb::handle key) {
    if (!PyDict_CheckExact(mapping.ptr())) return call_method(mapping, name::pop, key);
    PyObject* found = dict_lookup(mapping, key);
    if (found == nullptr) raise_key_error(key);
    nb::object value = nb::borrow(found);
    core::checked_status(PyDict_DelItem(mapping.ptr(), key.ptr()));
    return value;
}

nb::object pop(nb::handle mapping, nb::handle key, nb::handle fallback) {
    if (!PyDict_CheckExact(mapping.ptr())) return call_method(mapping, name::pop, key, fallback);
    PyObject* found = dict_lookup(mapping, key);
    if (found == nullptr) return nb::borrow(fallback);
    nb::object value = nb::borrow(found);
    core::checked_status(PyDict_DelItem(mapping.ptr(), key.ptr()));
    return value;
}

nb::object values_list(nb::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return checked(PyDict_Values(mapping.ptr()));
    return checked(PySequence_List(call_method(mapping, name::values).ptr()));
}

nb::object items_list(nb::handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return checked(PyDict_Items(mapping.ptr()));
    return checked(PySequence_List(call_method(mapping, name::items).ptr()));
}

nb::object stripped(nb::handle text) {
    PyObject* string = text.ptr();
    if (!PyUnicode_CheckExact(string)) return call_method(text, name::strip);
    Py_ssize_t end = PyUnicode_GET_LENGTH(string);
    Py_ssize_t start = 0;
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(string, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(string, end - 1))) --end;
    if (start == 0 && end == PyUnicode_GET_LENGTH(string)) return nb::borrow(text);
    return checked(PyUnicode_Substring(string, start, end));
}

nb::object row_symbol(nb::handle row) {
    nb::object exchange = checked(PyObject_Str(item(row, name::ExchangeID).ptr()));
    nb::object prefix = add(exchange, name::dot);
    nb::object instrument = checked(PyObject_Str(item(row, name::InstrumentID).ptr()));
    return add(prefix, instrument);
}

bool is_finished(nb::handle status) {
    if (PyUnicode_CheckExact(status.ptr())) {
        return equal(status, name::filled) || equal(status, name::cancelled) ||
               equal(status, name::rejected);
    }
    for (const InternedName* finished : {&name::filled, &name::cancelled, &name::rejected}) {
        // `in` on a tuple compares each member with the value, the member on the left.
        if (core::checked_status(PyObject_RichCompareBool(finished->ptr(), status.ptr(), Py_EQ))) {
            return true;
        }
    }
    return false;
}

nb::handle zero() {
    static PyObject* const value = PyLong_FromLong(0);  // kept for the process
    return value;
}

nb::object now_ms() {
    static PyObject* const thousand = PyLong_FromLong(1000);  // kept for the process
    nb::object seconds = call_method(global(name::time), name::time);
    nb::object millis = checked(PyNumber_Multiply(seconds.ptr(), thousand));
    return checked(PyNumber_Long(millis.ptr()));
}

void raise_buffer_error(const char* message) {
    core::raise(nb::handle(PyExc_BufferError)(nb::str(message)));
}

}  // namespace zqkit::trading::book
