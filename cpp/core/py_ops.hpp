// Small Python operations with the interpreter's semantics and errors, and interned names.
//
// Every helper raises the interpreter's own exception as nb::python_error, so a body reads like
// the Python it stands for: `if (truthy(x))`, `size_of(x)`, `contains(d, k)`.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

namespace zqkit::core {

namespace nb = nanobind;

// Takes a new reference from a C API call, or throws the error it left pending (nullptr).
inline nb::object checked(PyObject* result) {
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

// The same for C API calls that report failure as -1.
inline int checked_status(int result) {
    if (result < 0) throw nb::python_error();
    return result;
}

// bool(value); True and False answer without a call.
inline bool truthy(nb::handle value) {
    if (value.ptr() == Py_True) return true;
    if (value.ptr() == Py_False) return false;
    return checked_status(PyObject_IsTrue(value.ptr())) != 0;
}

// len(value)
Py_ssize_t size_of(nb::handle value);

// item in container
bool contains(nb::handle container, nb::handle item);

// text.startswith(prefix), without a method call for an exact str
bool starts_with(nb::handle text, const char* prefix);

// isinstance(value, cls)
bool is_instance(nb::handle value, nb::handle cls);

// `a, b, ... = item` with exactly `count` targets, raising the interpreter's unpacking errors.
std::vector<nb::object> unpack(nb::handle item, size_t count);

// `first, second = item`, without the iterator for an exact tuple or list of two.
inline std::pair<nb::object, nb::object> unpack_pair(nb::handle item) {
    PyObject* sequence = item.ptr();
    if ((PyTuple_CheckExact(sequence) && PyTuple_GET_SIZE(sequence) == 2) ||
        (PyList_CheckExact(sequence) && PyList_GET_SIZE(sequence) == 2)) {
        return {nb::borrow(PySequence_Fast_ITEMS(sequence)[0]),
                nb::borrow(PySequence_Fast_ITEMS(sequence)[1])};
    }
    std::vector<nb::object> parts = unpack(item, 2);
    return {std::move(parts[0]), std::move(parts[1])};
}

// ─── Interned names ─────────────────────────────────────────────────────────────────────────────

// The interned str for `text`. Interned strings are shared by the whole interpreter; the reference
// taken here is kept for the life of the process, so the handle never dangles.
nb::handle intern(const char* text);

// A name a hot path looks up again and again (attribute, global, dict key), interned on first use
// and kept for the life of the process. A module lists its names once, in its own names.hpp:
//
//     namespace zqkit::transport::name {
//     inline core::InternedName channels{"channels"};
//     }
//     ... PyObject_GetAttr(self.ptr(), name::channels.ptr()) ... self.attr(name::channels) ...
//
// Everything runs with the GIL held, so the first use needs no lock.
class InternedName {
  public:
    explicit constexpr InternedName(const char* text) noexcept : text_(text) {}
    InternedName(const InternedName&) = delete;
    InternedName& operator=(const InternedName&) = delete;

    PyObject* ptr() const {
        if (value_ == nullptr) value_ = intern(text_).ptr();
        return value_;
    }
    operator nb::handle() const { return ptr(); }
    const char* c_str() const noexcept { return text_; }

  private:
    const char* text_;
    mutable PyObject* value_ = nullptr;
};

// ─── Expressions of hot paths ───────────────────────────────────────────────────────────────────
//
// An exact dict, list or str answers through the C API; anything else (a subclass, a mapping, a
// test double) through the very method or operator the Python code uses, so overrides still take
// part. Names are interned str handles (`InternedName` converts).

// Methods the helpers below call on objects that are not of the exact builtin type.
namespace method {
inline constinit InternedName get{"get"};
inline constinit InternedName pop{"pop"};
inline constinit InternedName values{"values"};
inline constinit InternedName items{"items"};
inline constinit InternedName strip{"strip"};
inline constinit InternedName startswith{"startswith"};
inline constinit InternedName append{"append"};
}  // namespace method

// getattr(target, name)
inline nb::object attr(nb::handle target, nb::handle name) {
    return checked(PyObject_GetAttr(target.ptr(), name.ptr()));
}

// setattr(target, name, value)
inline void set_attr(nb::handle target, nb::handle name, nb::handle value) {
    checked_status(PyObject_SetAttr(target.ptr(), name.ptr(), value.ptr()));
}

// callable(args...)
template <typename... Args>
nb::object call(nb::handle callable, const Args&... args) {
    PyObject* stack[] = {nullptr, nb::handle(args).ptr()...};
    return checked(PyObject_Vectorcall(callable.ptr(), stack + 1,
                                       sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(args...) whose last len(keywords) arguments are passed by those names (a tuple from
// keyword_names). The callable was looked up by the caller, before the arguments were computed,
// as the interpreter orders `obj.method(x=value)`.
template <typename... Args>
nb::object call_kw(nb::handle callable, PyObject* keywords, const Args&... args) {
    PyObject* stack[] = {nullptr, nb::handle(args).ptr()...};
    size_t positional = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(keywords));
    return checked(PyObject_Vectorcall(callable.ptr(), stack + 1,
                                       positional | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

// target.name(args...), without making a bound method when `name` is a plain function. The
// method is looked up after the arguments were computed.
template <typename... Args>
nb::object call_method(nb::handle target, nb::handle name, const Args&... args) {
    PyObject* stack[] = {target.ptr(), nb::handle(args).ptr()...};
    return checked(PyObject_VectorcallMethod(
        name.ptr(), stack, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The same with keywords: the last len(keywords) arguments are passed by those names.
template <typename... Args>
nb::object call_method_kw(nb::handle target, nb::handle name, PyObject* keywords,
                          const Args&... args) {
    PyObject* stack[] = {target.ptr(), nb::handle(args).ptr()...};
    size_t positional = sizeof...(Args) + 1 - static_cast<size_t>(PyTuple_GET_SIZE(keywords));
    return checked(PyObject_VectorcallMethod(
        name.ptr(), stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords));
}

// A tuple of keyword names for call_kw and call_method_kw, kept for the life of the process:
// hold it in a function-local `static PyObject* const`.
PyObject* keyword_names(std::initializer_list<const InternedName*> names);

// raise KeyError(key), as a missing dict key does.
[[noreturn]] void raise_key_error(nb::handle key);

// The value of an exact dict under `key`, or nullptr when it has none (borrowed).
inline PyObject* dict_lookup(nb::handle dict, nb::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
    return value;
}

// mapping[key]; an exact dict is looked up once, a miss raising KeyError(key) as `d[k]` does.
inline nb::object item(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* value = dict_lookup(mapping, key);
        if (value == nullptr) raise_key_error(key);
        return nb::borrow(value);
    }
    return checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

// mapping[key] = value
inline void set_item(nb::handle mapping, nb::handle key, nb::handle value) {
    int status = PyDict_CheckExact(mapping.ptr())
                     ? PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr())
                     : PyObject_SetItem(mapping.ptr(), key.ptr(), value.ptr());
    checked_status(status);
}

// mapping.get(key)
inline nb::object get(nb::handle mapping, nb::handle key) {
    if (!PyDict_CheckExact(mapping.ptr())) return call_method(mapping, method::get, key);
    PyObject* value = dict_lookup(mapping, key);
    return value != nullptr ? nb::borrow(value) : nb::none();
}

// mapping.get(key, fallback)
inline nb::object get(nb::handle mapping, nb::handle key, nb::handle fallback) {
    if (!PyDict_CheckExact(mapping.ptr())) return call_method(mapping, method::get, key, fallback);
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

// RuntimeError as a dict's iterator raises it once the dict's size changed under the loop.
inline void check_same_size(nb::handle dict, Py_ssize_t size) {
    if (PyDict_GET_SIZE(dict.ptr()) == size) return;
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    throw nb::python_error();
}

// for value in mapping.values(): body(value). An exact dict is walked in place and, as its
// iterator would, refuses to go on once its size changed under the body.
template <typename Body>
void for_each_value(nb::handle mapping, Body&& body) {
    if (PyDict_CheckExact(mapping.ptr())) {
        Py_ssize_t position = 0, size = PyDict_GET_SIZE(mapping.ptr());
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &position, &key, &value)) {
            body(nb::borrow(value));  // owned: the body may drop the dict's reference
            check_same_size(mapping, size);
        }
        return;
    }
    nb::object values = call_method(mapping, method::values);
    for (nb::handle value : nb::iter(values)) body(nb::borrow(value));
}

// list.append(value)
inline void append(nb::handle list, nb::handle value) {
    if (PyList_CheckExact(list.ptr())) {
        checked_status(PyList_Append(list.ptr(), value.ptr()));
        return;
    }
    call_method(list, method::append, value);
}

// iter(iterable)
inline nb::object iterate(nb::handle iterable) {
    return checked(PyObject_GetIter(iterable.ptr()));
}

// next(iterator), or an empty object once it is exhausted.
inline nb::object next(nb::handle iterator) {
    PyObject* value = PyIter_Next(iterator.ptr());
    if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
    return nb::steal(value);
}

// for key in mapping: body(key, value-or-null). An exact dict is walked in place and hands its
// value along (what mapping[key] reads at that point); anything else is iterated and hands
// nullptr, so that the body looks the value up itself.
template <typename Body>
void for_each_key(nb::handle mapping, Body&& body) {
    if (PyDict_CheckExact(mapping.ptr())) {
        Py_ssize_t position = 0, size = PyDict_GET_SIZE(mapping.ptr());
        PyObject *key, *value;
        while (PyDict_Next(mapping.ptr(), &position, &key, &value)) {
            body(nb::borrow(key), nb::borrow(value));  // owned: the body may drop the dict's
            check_same_size(mapping, size);
        }
        return;
    }
    nb::object iterator = iterate(mapping);
    while (nb::object key = next(iterator)) body(key, nb::object());
}

// for key, value in mapping.items(): body(key, value)
template <typename Body>
void for_each_item(nb::handle mapping, Body&& body) {
    if (PyDict_CheckExact(mapping.ptr())) {
        for_each_key(mapping, body);
        return;
    }
    nb::object iterator = iterate(call_method(mapping, method::items));
    while (nb::object pair = next(iterator)) {
        auto [key, value] = unpack_pair(pair);
        body(key, value);
    }
}

// ─── Values ─────────────────────────────────────────────────────────────────────────────────────

// str(value)
inline nb::object str_of(nb::handle value) {
    return checked(PyObject_Str(value.ptr()));
}

// text.strip(); an exact str is stripped here, with the method's notion of white space.
nb::object stripped(nb::handle text);

// text.startswith(prefix); an exact str answers without a method call.
inline bool starts_with(nb::handle text, nb::handle prefix) {
    if (PyUnicode_CheckExact(text.ptr())) {
        return checked_status(static_cast<int>(
                   PyUnicode_Tailmatch(text.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1))) != 0;
    }
    return truthy(call_method(text, method::startswith, prefix));
}

// memcmp(a, b, size) == 0 inline, for short texts.
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

// bool(a == b) and bool(a != b), as the operator has it: `a.__eq__` first (unless b's type is a
// subclass overriding it) and no identity shortcut, since an arbitrary __eq__ need not be
// reflexive (a NaN is unequal to itself). Two exact strs compare without a call.
inline bool equal(nb::handle a, nb::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) {
        return same_text(a.ptr(), b.ptr());
    }
    return truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ)));
}

inline bool not_equal(nb::handle a, nb::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) {
        return !same_text(a.ptr(), b.ptr());
    }
    return truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

// bool(a < b), bool(a > b) … for op Py_LT, Py_GT …
inline bool compare(nb::handle a, nb::handle b, int op) {
    return truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

// value in (a, b, ...): as a tuple's `in`, each member is compared with the value, the member on
// the left, and the identity shortcut applies. Not `equal` with the operands swapped: for a value
// whose type is not str, the reflected operation is what runs.
inline bool is_one_of(nb::handle value, std::initializer_list<nb::handle> members) {
    bool exact = PyUnicode_CheckExact(value.ptr());
    for (nb::handle member : members) {
        bool found =
            exact && PyUnicode_CheckExact(member.ptr())
                ? same_text(value.ptr(), member.ptr())
                : checked_status(PyObject_RichCompareBool(member.ptr(), value.ptr(), Py_EQ)) != 0;
        if (found) return true;
    }
    return false;
}

// min(a, b) and max(a, b) as the builtins choose: the first argument unless the second is
// strictly smaller (larger).
inline nb::object smaller(nb::handle a, nb::handle b) {
    return nb::borrow(checked_status(PyObject_RichCompareBool(b.ptr(), a.ptr(), Py_LT)) ? b : a);
}
inline nb::object larger(nb::handle a, nb::handle b) {
    return nb::borrow(checked_status(PyObject_RichCompareBool(b.ptr(), a.ptr(), Py_GT)) ? b : a);
}

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

// a + b + ..., left to right, with the operator's errors (str + int is a TypeError).
inline nb::object concat(std::initializer_list<nb::handle> parts) {
    auto part = parts.begin();
    nb::object result = nb::borrow(*part);
    for (++part; part != parts.end(); ++part) result = add(result, *part);
    return result;
}

// mapping[key] += amount, mapping[key] -= amount
inline void add_to_item(nb::handle mapping, nb::handle key, nb::handle amount) {
    set_item(mapping, key, add_in_place(item(mapping, key), amount));
}
inline void subtract_from_item(nb::handle mapping, nb::handle key, nb::handle amount) {
    set_item(mapping, key, subtract_in_place(item(mapping, key), amount));
}

}  // namespace zqkit::core
