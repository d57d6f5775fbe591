// LiveMap: the read-only Mapping from keys (instrument codes, order ids) to views.
#include "core/python_class.hpp"
#include "livebook/bindings.hpp"

namespace zqkit::livebook {

namespace {

nb::object data_of(nb::handle self) {
    return nb::getattr(self, "_data");
}

void init(nb::handle self, nb::handle item_type) {
    nb::setattr(self, "_data", nb::dict());
    nb::setattr(self, "item_type", item_type);
}

// An absent key raises the dict's own KeyError, key unchanged.
nb::object item(nb::handle self, nb::handle key) {
    PyObject* value = PyObject_GetItem(data_of(self).ptr(), key.ptr());
    if (value == nullptr) throw nb::python_error();
    return nb::steal(value);
}

nb::object keys_iterator(nb::handle self) {
    return nb::iter(data_of(self));
}

Py_ssize_t size(nb::handle self) {
    Py_ssize_t length = PyObject_Length(data_of(self).ptr());
    if (length < 0) throw nb::python_error();
    return length;
}

nb::object representation(nb::handle self) {
    return nb::repr(data_of(self));
}

}  // namespace

void bind_live_map(nb::module_& m) {
    nb::dict ns;
    ns["__slots__"] = nb::make_tuple("_data", "item_type");
    nb::object cls = core::make_class(m, "LiveMap", nb::make_tuple(m.attr("Mapping")), ns);
    core::add_method(cls, "__init__", &init, nb::arg("item_type").none());
    core::add_method(cls, "__getitem__", &item, nb::arg("key").none());
    core::add_method(cls, "__iter__", &keys_iterator);
    core::add_method(cls, "__len__", &size);
    core::add_method(cls, "__repr__", &representation);
    // The primitives arrived after the class was made; let ABCMeta see they are no longer abstract.
    nb::module_::import_("abc").attr("update_abstractmethods")(cls);
    m.attr("LiveMap") = cls;
}

}  // namespace zqkit::livebook
