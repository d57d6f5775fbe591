#include "errors.hpp"

#include <string>

#include "arguments.hpp"
#include "entry.hpp"
#include "names.hpp"
#include "native.hpp"
#include "state.hpp"

namespace zqkit::data {

namespace {

constexpr const char* kDoc = "SDK 数据或交易服务异常，status 为可选的响应状态码。";
constexpr const char* kSubclassNote =
    "Note that subclasses of builtin types are rejected here; pass an exact str.";

const Signature kInitSignature{"ZqError.__init__", {"self", "message", "status"}, 2, 2};

// TypeError worded as the interpreter's own argument checks word it.
[[noreturn]] void raise_argument_type(const char* format, const char* argument,
                                      const char* expected, PyObject* value, bool note) {
    nb::object text =
        checked(PyUnicode_FromFormat(format, argument, expected, Py_TYPE(value)->tp_name));
    nb::object error = checked(PyObject_CallOneArg(PyExc_TypeError, text.ptr()));
    if (note) {
        nb::object note_text = checked(PyUnicode_FromString(kSubclassNote));
        checked(PyObject_CallMethodOneArg(error.ptr(), name::add_note.ptr(), note_text.ptr()));
    }
    raise_instance(error);
}

nb::object status_value(PyObject* status) {
    if (status == nullptr || status == Py_None) return nb::none();
    if (PyLong_CheckExact(status)) return nb::borrow(status);
    if (PyNumber_Check(status)) return checked(PyNumber_Long(status));
    raise_argument_type("Argument '%.200s' has incorrect type (expected %.5s, got %.200s)",
                        "status", "int", status, false);
}

// super().__init__(message). For a ZqError itself the next class in the MRO is Exception, whose
// initialiser is the interpreter's own; a subclass may put other classes in between.
void initialise_base(PyObject* self, PyObject* message) {
    if (Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(state().zq_error)) {
        nb::object args = checked(PyTuple_Pack(1, message));
        PyTypeObject* exception = reinterpret_cast<PyTypeObject*>(PyExc_Exception);
        checked_status(exception->tp_init(self, args.ptr(), nullptr));
        return;
    }
    nb::object parent = checked(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PySuper_Type), state().zq_error, self, nullptr));
    nb::object parent_init = checked(PyObject_GetAttr(parent.ptr(), name::init.ptr()));
    checked(PyObject_CallOneArg(parent_init.ptr(), message));
}

nb::object initialise(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[3];
    if (!bind_arguments(kInitSignature, args, nargs, kwnames, bound)) throw nb::python_error();
    PyObject* self = bound[0];
    PyObject* message = bound[1];
    if (!PyUnicode_CheckExact(message)) {
        raise_argument_type("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                            "message", "str", message, PyUnicode_Check(message));
    }
    nb::object status = status_value(bound[2]);
    initialise_base(self, message);
    checked_status(PyObject_SetAttr(self, name::status.ptr(), status.ptr()));
    return nb::none();
}

PyObject* zq_error_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return initialise(args, nargs, kwnames); });
}

PyMethodDef init_def{"__init__", as_cfunction(zq_error_init), METH_FASTCALL | METH_KEYWORDS,
                     "__init__(self, message, *, status=None)\n--\n\n"};

}  // namespace

nb::object create_zq_error() {
    nb::dict namespace_;
    namespace_["__module__"] = "zqkit.data";
    namespace_["__qualname__"] = "ZqError";
    namespace_["__doc__"] = nb::str(kDoc);
    namespace_["__init__"] = native_method(&init_def);
    nb::object bases = nb::make_tuple(nb::handle(PyExc_Exception));
    nb::object cls = checked(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                                   "ZqError", bases.ptr(), namespace_.ptr()));
    state().zq_error = cls.inc_ref().ptr();
    return cls;
}

namespace {

// `raise instance`, without leaving C++ by an exception: the error is pending afterwards.
void set_instance(PyObject* instance) {
    if (PyExceptionInstance_Check(instance)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance)), instance);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

nb::object zq_error_instance(const char* message) {
    nb::object cls = module_global(name::zq_error.ptr());
    nb::object text = checked(PyUnicode_FromString(message));
    return checked(PyObject_CallOneArg(cls.ptr(), text.ptr()));
}

}  // namespace

void raise_instance(nb::handle instance) {
    set_instance(instance.ptr());
    throw nb::python_error();
}

void set_zq_error(const char* message) {
    try {
        set_instance(zq_error_instance(message).ptr());
    } catch (nb::python_error& error) {
        error.restore();
    }
}

void set_zq_error_from(const char* message, PyObject* cause) {
    try {
        nb::object error = zq_error_instance(message);
        const bool is_exception = PyExceptionInstance_Check(error.ptr());
        if (is_exception) PyException_SetCause(error.ptr(), Py_NewRef(cause));
        set_instance(error.ptr());
        // Inside `except ... as cause`, the raise statement makes `cause` the new context.
        if (is_exception) PyException_SetContext(error.ptr(), Py_NewRef(cause));
    } catch (nb::python_error& error) {
        error.restore();
    }
}

void raise_zq_error(const char* message) {
    set_zq_error(message);
    throw nb::python_error();
}

PyObject* take_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

}  // namespace zqkit::data
