#include "transport/module_state.hpp"

#include "core/core.hpp"

namespace zqkit::transport {

namespace {
PyObject* the_module_dict = nullptr;
// Kept for the life of the process, like the module dict.
PyObject* json_dumps = nullptr;
PyObject* json_loads = nullptr;
}  // namespace

void set_module_dict(nb::handle dict) {
    Py_XDECREF(the_module_dict);
    the_module_dict = dict.inc_ref().ptr();
}

nb::handle module_dict() {
    return the_module_dict;
}

nb::object global(const char* name) {
    return core::module_global(the_module_dict, name);
}

nb::object global(nb::handle name) {
    return core::module_global(the_module_dict, name);
}

void remember_standard_functions() {
    nb::object json = global("json");
    json_dumps = nb::object(json.attr("dumps")).release().ptr();
    json_loads = nb::object(json.attr("loads")).release().ptr();
}

nb::handle standard_json_dumps() {
    return json_dumps;
}
nb::handle standard_json_loads() {
    return json_loads;
}

}  // namespace zqkit::transport
