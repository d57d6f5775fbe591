// Python operations on the private book (CTP rows, native orders, positions, the session's
// tables) with the interpreter's semantics: an exact dict or str answers through the C API, any
// other object (a dict subclass, a test double) through the very call Python would make.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "core/py_errors.hpp"
#include "core/py_ops.hpp"
#include "trading/names.hpp"

namespace zqkit::trading::book {

namespace nb = nanobind;
using core::checked;
using core::InternedName;

// ─── Calls ──────────────────────────────────────────────────────────────────────────────────────

// self.<name>
inline nb::object attr(nb::handle self, const InternedName& name) {
    return checked(PyObject_GetAttr(self.ptr(), name.ptr()));
}

// self.<method>(args...): the attribute is looked up as Python does (the instance's own first).
template <typename... Args>
nb::object call_method(nb::handle self, const InternedName& method, const Args&... args) {
    PyObject* stack[] = {self.ptr(), nb::handle(args).ptr()...};
    return checked(PyObject_VectorcallMethod(method.ptr(), stack, sizeof...(Args) + 1, nullptr));
}

// The same with keywords: the last len(kwnames) arguments are passed by those names.
template <typename... Args>
nb::object call_method_kw(nb::handle self, const InternedName& method, PyObject* kwnames,
                          const Args&... args) {
    PyObject* stack[] = {self.ptr(), nb::handle(args).ptr()...};
    size_t positional = sizeof...(Args) + 1 - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return checked(PyObject_VectorcallMethod(method.ptr(), stack, positional, kwnames));
}

// function(args...)
template <typename... Args>
nb::object call(nb::handle function, const Args&... args) {
    PyObject* stack[] = {nb::handle(args).ptr()...};
    return checked(PyObject_Vectorcall(function.ptr(), stack, sizeof...(Args), nullptr));
}

// A tuple of keyword names for call_method_kw, built on first use and kept for the process.
PyObject* keyword_names(std::initializer_list<const InternedName*> names);

// ─── Mappings ───────────────────────────────────────────────────────────────────────────────────

// raise KeyError(key), as a missing dict key does.
[[noreturn]] void raise_key_error(nb::handle key);

// mapping[key]
inline nb::object item(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value != nullptr) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
        raise_key_error(key);
    }
    return checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// mapping[key] = value
inline void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    int status = PyDict_CheckExact(mapping.ptr())
                     ? PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr())
                     : PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr());
    core::checked_status(status);
}

// The value of an exact dict under `key`, or nullptr when it has none (borrowed).
inline PyObject* dict_lookup(nb::handle dict, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
    return value;
}

// mapping.get(key)
inline nb::object get(nb::handle mapping, nb::handle key) {
    if (!PyDict_CheckExact(mapping.ptr())) return call_method(mapping, name::get, key);
    PyObject* value = dict_lookup(mapping, key);
    return value != nullptr ? nb::borrow(value) : nb::none();
}

// mapping.get(key, fallback)
inline nb::object get(nb::handle mapping, nb::handle key, nb::handle fallback) {
    if (!PyDict_CheckExact(mapping.ptr())) return call_method(mapping, name::get, key, fallback);
    PyObject* value = dict_lookup(mapping, key);
    return nb::borrow(value != nullptr ? value : fallback.ptr());
}

// mapping.pop(key)
nb::object pop(nb::handle mapping, nb::handle key);
// mapping.pop(key, fallback)
nb::object pop(nb::handle mapping, nb::handle key, nb::handle fallback);

// list(mapping.values()), list(mapping.items())
nb::object values_list(nb::handle mapping);
nb::object items_list(nb::handle mapping);

// for value in mapping.values(): body(value). An exact dict is walked in place and, as its
// iterator would, refuses to go on once its size changed under the body.
template <typename Body>
void for_each_value(nb::handle mapping, Body&& body) {
    if (PyDict_CheckExact(mapping.ptr())) {
        Py_ssize_t position = 0, size = PyDict_GET_SIZE(mapping.ptr());
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &position, &key, &value)) {
            body(nb::borrow(value));  // owned: the body may drop the dict's reference
            if (PyDict_GET_SIZE(mapping.ptr()) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                throw nb::python_error();
            }
        }
        return;
    }
    nb::object values = call_method(mapping, name::values);
    for (nb::handle value : nb::iter(values)) body(nb::borrow(value));
}

// ─── Values ─────────────────────────────────────────────────────────────────────────────────────

// text.strip(); an exact str is stripped here, with the method's notion of white space.
nb::object stripped(nb::handle text);

// str(row["ExchangeID"]) + "." + str(row["InstrumentID"])
nb::object row_symbol(nb::handle row);

// memcmp(a, b, size) == 0 inline, for the short texts of symbols and flags.
inline bool same_bytes(const void* a, const void* b, size_t size) {
    const auto* left = static_cast<const unsigned char*>(a);
    const auto* right = static_cast<const unsigned char*>(b);
    for (; size >= sizeof(uint64_t); size -= sizeof(uint64_t)) {
        uint64_t x, y;
        std::memcpy(&x, left, sizeof x);
        std::memcpy(&y, right, sizeof y);
        if (x != y) return false;
        left += sizeof x;
        right += sizeof y;
    }
    for (; size > 0; --size) {
        if (*left++ != *right++) return false;
    }
    return true;
}

// Two exact strs hold the same text (what str.__eq__ answers, without its call).
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    // Hashes already computed (a symbol used as a dict key) tell most unequal texts apart.
    Py_hash_t hash_a = reinterpret_cast<PyASCIIObject*>(a)->hash;
    Py_hash_t hash_b = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (hash_a != -1 && hash_b != -1 && hash_a != hash_b) return false;
    return same_bytes(PyUnicode_DATA(a), PyUnicode_DATA(b),
                      static_cast<size_t>(length) * PyUnicode_KIND(a));
}

// bool(a == b) and bool(a != b); two exact strs compare without a rich-comparison call.
inline bool equal(nb::handle a, nb::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) {
        return same_text(a.ptr(), b.ptr());
    }
    return core::truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

inline bool not_equal(nb::handle a, nb::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) {
        return !same_text(a.ptr(), b.ptr());
    }
    return core::truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

// bool(a < b), bool(a > b) … for op Py_LT, Py_GT …
inline bool compare(nb::handle a, nb::handle b, int op) {
    return core::truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

// status in ("FILLED", "CANCELLED", "REJECTED")
bool is_finished(nb::handle status);

// a + b, a - b, and the augmented `a += b`, `a -= b`
inline nb::object add(nb::handle a, nb::handle b) {
    return checked(PyNumber_Add(a.ptr(), b.ptr()));
}
inline nb::object subtract(nb::handle a, nb::handle b) {
    return checked(PyNumber_Subtract(a.ptr(), b.ptr()));
}
inline nb::object add_in_place(nb::handle a, nb::handle b) {
    return checked(PyNumber_InPlaceAdd(a.ptr(), b.ptr()));
}
inline nb::object subtract_in_place(nb::handle a, nb::handle b) {
    return checked(PyNumber_InPlaceSubtract(a.ptr(), b.ptr()));
}

// mapping[key] += amount, mapping[key] -= amount
inline void add_to_item(nb::handle mapping, nb::handle key, nb::handle amount) {
    set_item(mapping, key, add_in_place(item(mapping, key), amount));
}
inline void subtract_from_item(nb::handle mapping, nb::handle key, nb::handle amount) {
    set_item(mapping, key, subtract_in_place(item(mapping, key), amount));
}

// min(a, b) and max(a, b) as the builtins choose: the first argument unless the second is
// strictly smaller (larger).
inline nb::object smaller(nb::handle a, nb::handle b) {
    return nb::borrow(core::checked_status(PyObject_RichCompareBool(b.ptr(), a.ptr(), Py_LT)) ? b
                                                                                              : a);
}
inline nb::object larger(nb::handle a, nb::handle b) {
    return nb::borrow(core::checked_status(PyObject_RichCompareBool(b.ptr(), a.ptr(), Py_GT)) ? b
                                                                                              : a);
}

// The int 0, kept for the process.
nb::handle zero();

// int(time.time() * 1000), reading the module's `time` at call time.
nb::object now_ms();

// The keys of one side of a position record ("pos_" + side, "pos_" + side + "_today" …) and
// the direction of the orders that close it.
struct PositionSide {
    const InternedName* word;
    const InternedName* total;
    const InternedName* today;
    const InternedName* his;
    const InternedName* available;
    const InternedName* frozen;
    const InternedName* closing;
};

inline constexpr PositionSide long_side{
    &name::long_side,    &name::pos_long,       &name::pos_long_today,
    &name::pos_long_his, &name::available_long, &name::frozen_long,
    &name::sell};
inline constexpr PositionSide short_side{&name::short_side,
                                         &name::pos_short,
                                         &name::pos_short_today,
                                         &name::pos_short_his,
                                         &name::available_short,
                                         &name::frozen_short,
                                         &name::buy};

// raise BufferError(message)
[[noreturn]] void raise_buffer_error(const char* message);

}  // namespace zqkit::trading::book
