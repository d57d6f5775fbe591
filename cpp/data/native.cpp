#include "native.hpp"

#include "entry.hpp"

namespace zqkit::data {

nb::object native_function(PyMethodDef* definition) {
    nb::object module_name = checked(PyUnicode_FromString("zqkit.data"));
    return checked(PyCFunction_NewEx(definition, nullptr, module_name.ptr()));
}

nb::object native_method(PyMethodDef* definition) {
    nb::object function = native_function(definition);
    return checked(PyInstanceMethod_New(function.ptr()));
}

}  // namespace zqkit::data
