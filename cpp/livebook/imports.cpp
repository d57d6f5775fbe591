#include "livebook/bindings.hpp"

namespace zqkit::livebook {

void bind_imports(nb::module_& m) {
    // A Python module holds its builtins before anything else; dataclass() would otherwise add
    // them in the middle of the module's names when it compiles the generated methods.
    m.attr("__builtins__") = nb::borrow(PyEval_GetBuiltins());
    m.attr("Mapping") = nb::module_::import_("collections.abc").attr("Mapping");
    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    m.attr("dataclass") = dataclasses.attr("dataclass");
    m.attr("field") = dataclasses.attr("field");
    nb::module_ typing = nb::module_::import_("typing");
    m.attr("TYPE_CHECKING") = typing.attr("TYPE_CHECKING");
    m.attr("Literal") = typing.attr("Literal");
}

nb::object optional_of(nb::handle type) {
    PyObject* annotation = PyNumber_Or(type.ptr(), Py_None);
    if (annotation == nullptr) throw nb::python_error();
    return nb::steal(annotation);
}

nb::object frozen_dataclass(nb::module_& m, nb::handle cls) {
    nb::object decorator = m.attr("dataclass")(nb::arg("frozen") = true);
    return decorator(cls);
}

}  // namespace zqkit::livebook
