// LiveObject: the read-only attribute view over a dict of named fields.
#include "core/python_class.hpp"
#include "livebook/bindings.hpp"

namespace zqkit::livebook {

namespace {

constexpr const char* kReadOnly = "SDK 交易数据对象为只读";

// Keyword arguments only: every name of the class's `fields` starts as None, then the keywords
// (field names or not) are stored over them.
void init(nb::handle self, nb::args args, nb::kwargs values) {
    if (args.size() != 0) {
        PyErr_Format(PyExc_TypeError,
                     "LiveObject.__init__() takes 1 positional argument but %zd were given",
                     static_cast<Py_ssize_t>(args.size()) + 1);
        throw nb::python_error();
    }
    nb::dict stored;
    for (nb::handle name : nb::iter(nb::getattr(self, "fields"))) stored[name] = nb::none();
    if (PyDict_Update(stored.ptr(), values.ptr()) != 0) throw nb::python_error();
    // The base object's assignment: our own __setattr__ refuses everything.
    if (PyObject_GenericSetAttr(self.ptr(), nb::str("_values").ptr(), stored.ptr()) != 0) {
        throw nb::python_error();
    }
}

[[noreturn]] void raise_missing(nb::handle key) {
    core::raise_from(nb::handle(PyExc_AttributeError)(key), nb::none());
}

// Reached only when ordinary lookup fails. A view whose storage was never set (object.__new__)
// reports the name as missing instead of recursing through `_values`.
nb::object field_value(nb::handle self, nb::handle key) {
    PyObject* values = PyObject_GenericGetAttr(self.ptr(), nb::str("_values").ptr());
    if (values == nullptr) {
        if (!core::error_matches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
        raise_missing(key);
    }
    nb::object stored = nb::steal(values);
    PyObject* value = nullptr;
    if (PyDict_CheckExact(values)) {
        value = PyDict_GetItemWithError(values, key.ptr());
        if (value != nullptr) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
        raise_missing(key);
    }
    value = PyObject_GetItem(values, key.ptr());
    if (value != nullptr) return nb::steal(value);
    if (!core::error_matches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
    raise_missing(key);
}

void refuse_assignment(nb::handle, nb::handle, nb::handle) {
    throw nb::attribute_error(kReadOnly);
}

// Deleting `_values` would leave a view the session can no longer update.
void refuse_deletion(nb::handle, nb::handle) {
    throw nb::attribute_error(kReadOnly);
}

nb::object representation(nb::handle self) {
    nb::object name = nb::getattr(self.type(), "__name__");
    nb::object values = nb::getattr(self, "_values");
    PyObject* text = PyUnicode_FromFormat("%S(%R)", name.ptr(), values.ptr());
    if (text == nullptr) throw nb::python_error();
    return nb::steal(text);
}

}  // namespace

void bind_live_object(nb::module_& m) {
    nb::dict ns;
    ns["__slots__"] = nb::make_tuple("_values");
    ns["fields"] = nb::tuple();
    nb::object cls = core::make_class(m, "LiveObject", nb::tuple(), ns);
    core::add_method(cls, "__init__", &init);
    core::add_method(cls, "__getattr__", &field_value, nb::arg("key").none());
    core::add_method(cls, "__setattr__", &refuse_assignment, nb::arg("key").none(),
                     nb::arg("value").none());
    core::add_method(cls, "__delattr__", &refuse_deletion, nb::arg("key").none());
    core::add_method(cls, "__repr__", &representation);
    m.attr("LiveObject") = cls;
}

}  // namespace zqkit::livebook
