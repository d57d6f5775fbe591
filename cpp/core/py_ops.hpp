// Small Python operations with the interpreter's semantics and errors, and interned names.
//
// Every helper raises the interpreter's own exception as nb::python_error, so a body reads like
// the Python it stands for: `if (truthy(x))`, `size_of(x)`, `contains(d, k)`.
#pragma once

#include <nanobind/nanobind.h>

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

}  // namespace zqkit::core
