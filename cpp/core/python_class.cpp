#include "core/python_class.hpp"

namespace zqkit::core {

nb::object make_class(nb::handle module, const char* name, nb::tuple bases, nb::dict ns) {
    ns["__module__"] = nb::getattr(module, "__name__");
    ns["__qualname__"] = nb::str(name);
    nb::handle metaclass = bases.size() != 0
                               ? nb::handle(Py_TYPE(bases[0].ptr()))
                               : nb::handle(reinterpret_cast<PyObject*>(&PyType_Type));
    return metaclass(nb::str(name), bases, ns);
}

void raise_from_handled(nb::handle exc, nb::handle cause) {
    PyObject* previous = PyErr_GetHandledException();
    PyErr_SetHandledException(cause.ptr());
    PyException_SetCause(exc.ptr(), nb::borrow(cause).release().ptr());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
    throw nb::python_error();
}

bool error_matches(nb::handle type) {
    return PyErr_ExceptionMatches(type.ptr()) != 0;
}

}  // namespace zqkit::core
