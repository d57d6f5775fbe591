#include "core/async_helpers.hpp"

namespace zqkit::core {

namespace detail {

nb::object lookup_special(nb::handle obj, const char* name) {
    nb::str key(name);
    PyObject* found = _PyType_Lookup(Py_TYPE(obj.ptr()), key.ptr());
    if (found == nullptr) return {};
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (get == nullptr) return nb::borrow(found);
    PyObject* bound = get(found, obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
    if (bound == nullptr) throw nb::python_error();
    return nb::steal(bound);
}

nb::object exit_arguments(const std::exception_ptr& failure) {
    if (!failure) return nb::make_tuple(nb::none(), nb::none(), nb::none());
    nb::object value = exception_object(failure);
    nb::object traceback = nb::steal(PyException_GetTraceback(value.ptr()));
    if (!traceback.is_valid()) traceback = nb::none();
    return nb::make_tuple(value.type(), value, traceback);
}

nb::object call_aexit(nb::handle aexit, nb::handle arguments) {
    PyObject* result = PyObject_Call(aexit.ptr(), arguments.ptr(), nullptr);
    if (result != nullptr) return nb::steal(result);
    nb::python_error error;
    chain_context(error.value(), PyTuple_GET_ITEM(arguments.ptr(), 1));
    throw error;
}

}  // namespace detail

AsyncIterator::AsyncIterator(nb::handle iterable) {
    nb::object aiter = detail::lookup_special(iterable, "__aiter__");
    if (!aiter.is_valid()) {
        PyErr_Format(PyExc_TypeError,
                     "'async for' requires an object with __aiter__ method, got %.100s",
                     Py_TYPE(iterable.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object iterator = aiter();
    anext_ = detail::lookup_special(iterator, "__anext__");
    if (!anext_.is_valid()) {
        PyErr_Format(PyExc_TypeError,
                     "'async for' received an object from __aiter__ that does not implement "
                     "__anext__: %.100s",
                     Py_TYPE(iterator.ptr())->tp_name);
        throw nb::python_error();
    }
}

AsyncIterator::Next AsyncIterator::next() {
    nb::object awaitable = anext_();
    return Next(awaitable);
}

}  // namespace zqkit::core
