// Text that comes in from Python. A str holding lone surrogates has no UTF-8 form; that is
// bad input and must say so as ValueError, not escape as a C++ cast failure.
#pragma once

#include <string>

#include <nanobind/nanobind.h>

namespace zqkit::ctp {

// `text` must already be known to be a str; `what` names it in the error message.
inline std::string utf8_text(nanobind::handle text, const std::string& what) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        throw nanobind::value_error((what + " 含有无法编码为 UTF-8 的字符").c_str());
    }
    return std::string(data, static_cast<size_t>(size));
}

}  // namespace zqkit::ctp
