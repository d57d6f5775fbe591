// Python expressions of the session's hot paths, with the interpreter's semantics.
//
// A dict of exactly that type is read through the C API; anything else (a dict subclass, another
// mapping) goes through the very method or operator the Python code uses, so overrides still
// take part. Names are interned str handles (names.hpp).
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <stdexcept>

#include "core/py_ops.hpp"
#include "trading/module_state.hpp"
#include "trading/names.hpp"

namespace zqkit::trading::ops {

namespace nb = nanobind;

// getattr(target, name)
inline nb::object attr(nb::handle target, nb::handle name) {
    return core::checked(PyObject_GetAttr(target.ptr(), name.ptr()));
}

// setattr(target, name, value)
inline void set_attr(nb::handle target, nb::handle name, nb::handle value) {
    core::checked_status(PyObject_SetAttr(target.ptr(), name.ptr(), value.ptr()));
}

// The session's methods take a handful of positional arguments at most.
constexpr size_t max_arguments = 6;

// [target, *args] as a vectorcall takes it; returns how many slots were filled.
inline size_t fill_stack(PyObject** stack, nb::handle target,
                         std::initializer_list<nb::handle> args) {
    if (args.size() > max_arguments) throw std::length_error("too many arguments for one call");
    size_t count = 0;
    stack[count++] = target.ptr();
    for (nb::handle arg : args) stack[count++] = arg.ptr();
    return count;
}

// target.name(*args), without making a bound method when `name` is a plain function.
inline nb::object call_method(nb::handle target, nb::handle name,
                              std::initializer_list<nb::handle> args = {}) {
    PyObject* stack[max_arguments + 1];
    size_t count = fill_stack(stack, target, args);
    return core::checked(PyObject_VectorcallMethod(
        name.ptr(), stack, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*args)
inline nb::object call(nb::handle callable, std::initializer_list<nb::handle> args) {
    PyObject* stack[max_arguments + 1];
    size_t count = fill_stack(stack, callable, args) - 1;
    return core::checked(PyObject_Vectorcall(callable.ptr(), stack + 1,
                                             count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The tuple of one keyword's name, as a vectorcall takes it; built on first use and kept for the
// life of the process, like an interned name.
class Keyword {
  public:
    explicit constexpr Keyword(const core::InternedName& name) noexcept : name_(name) {}
    Keyword(const Keyword&) = delete;
    Keyword& operator=(const Keyword&) = delete;

    PyObject* names() const {
        if (names_ == nullptr) names_ = core::checked(PyTuple_Pack(1, name_.ptr())).release().ptr();
        return names_;
    }

  private:
    const core::InternedName& name_;
    mutable PyObject* names_ = nullptr;
};

// target.name(*args, keyword=value)
inline nb::object call_method(nb::handle target, nb::handle name,
                              std::initializer_list<nb::handle> args, const Keyword& keyword,
                              nb::handle value) {
    PyObject* stack[max_arguments + 2];
    size_t count = fill_stack(stack, target, args);
    stack[count] = value.ptr();
    return core::checked(PyObject_VectorcallMethod(
        name.ptr(), stack, count | PY_VECTORCALL_ARGUMENTS_OFFSET, keyword.names()));
}

// mapping.get(key)
inline nb::object get(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value != nullptr) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::none();
    }
    return call_method(mapping, name::get, {key});
}

// mapping.get(key, fallback)
inline nb::object get(nb::handle mapping, nb::handle key, nb::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value != nullptr) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(fallback);
    }
    return call_method(mapping, name::get, {key, fallback});
}

// mapping[key]; a miss takes the generic path, which raises the interpreter's KeyError.
inline nb::object item(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value != nullptr) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
    }
    return core::checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// mapping[key] = value
inline void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    core::checked_status(PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr()));
}

// a == b, as the operator has it: no identity shortcut (a NaN is unequal to itself).
inline bool equal(nb::handle a, nb::handle b) {
    return core::truthy(core::checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

// a != b
inline bool differ(nb::handle a, nb::handle b) {
    return core::truthy(core::checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

// value == text for an interned constant `text`; an exact str is compared without a call.
inline bool is_text(nb::handle value, nb::handle text) {
    PyObject* object = value.ptr();
    if (object == text.ptr()) return true;
    if (PyUnicode_CheckExact(object)) {
        return PyUnicode_GET_LENGTH(object) == PyUnicode_GET_LENGTH(text.ptr()) &&
               PyUnicode_Compare(object, text.ptr()) == 0;
    }
    return equal(value, text);
}

// value in (text, ...): each constant compared with the value, as a tuple's `in` does.
inline bool is_any_text(nb::handle value, std::initializer_list<nb::handle> texts) {
    bool exact = PyUnicode_CheckExact(value.ptr());
    for (nb::handle text : texts) {
        bool found = exact ? is_text(value, text)
                           : core::checked_status(
                                 PyObject_RichCompareBool(text.ptr(), value.ptr(), Py_EQ)) != 0;
        if (found) return true;
    }
    return false;
}

// value.startswith(prefix); an exact str answers without a method call.
inline bool begins_with(nb::handle value, nb::handle prefix) {
    if (PyUnicode_CheckExact(value.ptr())) {
        return core::checked_status(static_cast<int>(
                   PyUnicode_Tailmatch(value.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1))) != 0;
    }
    return core::truthy(call_method(value, name::startswith, {prefix}));
}

// list.append(value)
inline void append(nb::handle list, nb::handle value) {
    if (PyList_CheckExact(list.ptr())) {
        core::checked_status(PyList_Append(list.ptr(), value.ptr()));
        return;
    }
    call_method(list, name::append, {value});
}

// iter(iterable)
inline nb::object iterate(nb::handle iterable) {
    return core::checked(PyObject_GetIter(iterable.ptr()));
}

// next(iterator), or an empty object once it is exhausted.
inline nb::object next(nb::handle iterator) {
    PyObject* value = PyIter_Next(iterator.ptr());
    if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
    return nb::steal(value);
}

// time.monotonic() and int(time.time() * 1000), through the module's `time` at call time.
inline nb::object monotonic() {
    return call_method(global(name::time), name::monotonic);
}

inline nb::object wall_ms() {
    nb::object seconds = call_method(global(name::time), name::time);
    nb::object thousand = nb::int_(1000);
    nb::object millis = core::checked(PyNumber_Multiply(seconds.ptr(), thousand.ptr()));
    return core::checked(PyNumber_Long(millis.ptr()));
}

// a + b + ..., left to right, with the operator's errors (str + int is a TypeError).
inline nb::object concat(std::initializer_list<nb::handle> parts) {
    auto part = parts.begin();
    nb::object result = nb::borrow(*part);
    for (++part; part != parts.end(); ++part)
        result = core::checked(PyNumber_Add(result.ptr(), part->ptr()));
    return result;
}

}  // namespace zqkit::trading::ops
