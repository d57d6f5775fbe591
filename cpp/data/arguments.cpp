#include "arguments.hpp"

#include <string>
#include <vector>

namespace zqkit::data {

namespace {

int parameter_index(const Signature& signature, PyObject* keyword) {
    int index = 0;
    for (const char* parameter : signature.parameters) {
        if (PyUnicode_CompareWithASCIIString(keyword, parameter) == 0) return index;
        ++index;
    }
    return -1;
}

void too_many_positional(const Signature& signature, Py_ssize_t nargs, PyObject** out) {
    const int total = static_cast<int>(signature.parameters.size());
    Py_ssize_t keyword_only_given = 0;
    for (int i = signature.positional; i < total; ++i) {
        if (out[i] != nullptr) ++keyword_only_given;
    }
    const Py_ssize_t given = nargs;
    const int most = signature.positional;
    std::string takes;
    bool plural;
    if (signature.required < signature.positional) {
        takes = "from " + std::to_string(signature.required) + " to " + std::to_string(most);
        plural = true;
    } else {
        takes = std::to_string(most);
        plural = most != 1;
    }
    std::string keyword_note;
    if (keyword_only_given > 0) {
        keyword_note = std::string(" positional argument") + (given != 1 ? "s" : "") + " (and " +
                       std::to_string(keyword_only_given) + " keyword-only argument" +
                       (keyword_only_given != 1 ? "s" : "") + ")";
    }
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd%s %s given",
                 signature.name, takes.c_str(), plural ? "s" : "", given, keyword_note.c_str(),
                 given == 1 && keyword_only_given == 0 ? "was" : "were");
}

void missing_positional(const Signature& signature, const std::vector<const char*>& missing) {
    std::string listed;
    for (size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                listed += " and ";
            } else {
                listed += i + 1 == missing.size() ? ", and " : ", ";
            }
        }
        listed += std::string("'") + missing[i] + "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 signature.name, missing.size(), missing.size() == 1 ? "" : "s", listed.c_str());
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** out) {
    const int total = static_cast<int>(signature.parameters.size());
    for (int i = 0; i < total; ++i) out[i] = nullptr;
    for (Py_ssize_t i = 0; i < nargs && i < signature.positional; ++i) out[i] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const int index = parameter_index(signature, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.name, keyword);
            return false;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                         signature.name, keyword);
            return false;
        }
        out[index] = args[nargs + k];
    }

    if (nargs > signature.positional) {
        too_many_positional(signature, nargs, out);
        return false;
    }
    std::vector<const char*> missing;
    int index = 0;
    for (const char* parameter : signature.parameters) {
        if (index >= signature.required) break;
        if (out[index] == nullptr) missing.push_back(parameter);
        ++index;
    }
    if (!missing.empty()) {
        missing_positional(signature, missing);
        return false;
    }
    return true;
}

}  // namespace zqkit::data
