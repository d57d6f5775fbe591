// Native: the one class that talks to the CTP binding zqkit._ctp.
#include "core/core.hpp"
#include "core/python_class.hpp"
#include "trading/bindings.hpp"

namespace zqkit::trading {

namespace {

using core::module_global;

constexpr const char* kUnavailable = "CTP 原生模块不可用，请安装适用于当前 64 位平台的 zqkit wheel";

// What the interpreter's `from package import name` does once the import has run: the attribute,
// else the loaded module, else ImportError.
nb::object sibling_from(nb::handle package, const char* name) {
    PyObject* found = PyObject_GetAttrString(package.ptr(), name);
    if (found != nullptr) return nb::steal(found);
    if (!core::error_matches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    nb::object package_name = nb::getattr(package, "__name__");
    nb::object full_name = nb::str(package_name) + nb::str(".") + nb::str(name);
    PyObject* loaded = PyImport_GetModule(full_name.ptr());
    if (loaded != nullptr) return nb::steal(loaded);
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object location = nb::getattr(package, "__file__", nb::none());
    PyObject* message = PyUnicode_FromFormat(
        "cannot import name '%s' from %R (%S)", name, package_name.ptr(),
        location.is_none() ? nb::str("unknown location").ptr() : location.ptr());
    if (message == nullptr) throw nb::python_error();
    PyErr_SetImportError(nb::steal(message).ptr(), package_name.ptr(), location.ptr());
    throw nb::python_error();
}

// The import statement calls the builtins' __import__ as it stands when the statement runs, so a
// replacement installed by a test or a tool takes part, as it would for Python code.
nb::object import_function(nb::handle globals) {
    nb::object builtins = module_global(globals, "__builtins__");
    if (PyModule_Check(builtins.ptr())) builtins = nb::borrow(PyModule_GetDict(builtins.ptr()));
    PyObject* function = PyObject_GetItem(builtins.ptr(), nb::str("__import__").ptr());
    if (function != nullptr) return nb::steal(function);
    if (!core::error_matches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, "__import__ not found");
    throw nb::python_error();
}

// `from . import _ctp`, run when a connection is opened rather than when zqkit.trading loads.
nb::object import_binding(nb::handle globals) {
    try {
        nb::object package =
            import_function(globals)("", globals, nb::none(), nb::make_tuple("_ctp"), 1);
        return sibling_from(package, "_ctp");
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_ImportError)) throw;
        nb::object cause = nb::borrow(error.value());
        core::raise_from_handled(module_global(globals, "ZqError")(kUnavailable), cause);
    }
}

// str(directory) + os.sep, encoded for the CTP library: the ANSI code page on Windows, the
// file-system encoding elsewhere. The separator is appended even after a trailing one.
nb::object flow_path(nb::handle globals, nb::handle directory) {
    nb::object os = module_global(globals, "os");
    nb::object path = nb::str(directory) + os.attr("sep");
    if (os.attr("name").equal(nb::str("nt"))) return path.attr("encode")("mbcs");
    return os.attr("fsencode")(path);
}

void open_connection(nb::handle globals, nb::handle self, nb::handle config, nb::handle directory) {
    nb::object module = import_binding(globals);
    nb::setattr(self, "module", module);
    nb::object encoded = flow_path(globals, directory);
    // module.create is looked up before config.front_url is read, as the call expression does.
    nb::object create = module.attr("create");
    nb::setattr(self, "handle", create(nb::getattr(config, "front_url"), encoded));
}

nb::object request(nb::handle self, nb::handle method, nb::handle data, nb::handle request_id) {
    nb::object send = nb::getattr(self, "module").attr("request");
    return send(nb::getattr(self, "handle"), method, data, request_id);
}

nb::object poll(nb::handle self) {
    nb::object receive = nb::getattr(self, "module").attr("poll");
    return receive(nb::getattr(self, "handle"));
}

// The handle stays set: the session drops the whole Native after closing it.
void close(nb::handle self) {
    nb::object release = nb::getattr(self, "module").attr("close");
    release(nb::getattr(self, "handle"));
}

}  // namespace

void bind_native(nb::module_& m) {
    nb::object cls = core::make_class(m, "Native", nb::tuple(), nb::dict());
    nb::object globals = globals_of(m);
    core::add_method(
        cls, "__init__",
        [globals](nb::handle self, nb::handle config, nb::handle directory) {
            open_connection(globals, self, config, directory);
        },
        nb::arg("config").none(), nb::arg("directory").none());
    core::add_method(cls, "request", &request, nb::arg("method").none(), nb::arg("data").none(),
                     nb::arg("request_id").none());
    core::add_method(cls, "poll", &poll);
    core::add_method(cls, "close", &close);
    m.attr("Native") = cls;
}

}  // namespace zqkit::trading
