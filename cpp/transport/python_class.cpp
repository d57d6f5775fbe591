#include "transport/python_class.hpp"

#include "transport/module_state.hpp"

namespace zqkit::transport {

nb::object make_class(const char* name, const char* doc) {
    nb::dict namespace_;
    namespace_["__module__"] = module_name;
    namespace_["__qualname__"] = name;
    namespace_["__doc__"] = doc == nullptr ? nb::none() : nb::object(nb::str(doc));
    nb::object bases = nb::make_tuple(nb::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, namespace_);
}

}  // namespace zqkit::transport
