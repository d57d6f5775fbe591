// A short list of owned Python references that lives on the stack while it fits. Only the slots in
// use are touched, so an unused capacity costs nothing.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

namespace zqkit::data {

namespace nb = nanobind;

template <std::size_t Inline>
class SmallObjects {
  public:
    SmallObjects() = default;
    SmallObjects(const SmallObjects&) = delete;
    SmallObjects& operator=(const SmallObjects&) = delete;
    SmallObjects(SmallObjects&& other) noexcept
        : overflow_(std::move(other.overflow_)), size_(other.size_) {
        for (std::size_t i = 0; i < size_ && i < Inline; ++i) inline_[i] = other.inline_[i];
        other.size_ = 0;
        other.overflow_.clear();
    }
    SmallObjects& operator=(SmallObjects&&) = delete;

    ~SmallObjects() {
        for (std::size_t i = 0; i < size_ && i < Inline; ++i) Py_DECREF(inline_[i]);
        for (PyObject* value : overflow_) Py_DECREF(value);
    }

    void push_back(nb::object value) {
        PyObject* raw = value.release().ptr();
        if (size_ < Inline) {
            inline_[size_] = raw;
        } else {
            overflow_.push_back(raw);
        }
        ++size_;
    }

    std::size_t size() const { return size_; }

    PyObject* operator[](std::size_t i) const {
        return i < Inline ? inline_[i] : overflow_[i - Inline];
    }

  private:
    PyObject* inline_[Inline];
    std::vector<PyObject*> overflow_;
    std::size_t size_ = 0;
};

}  // namespace zqkit::data
