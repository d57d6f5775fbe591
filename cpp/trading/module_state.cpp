#include "trading/module_state.hpp"

#include "core/core.hpp"

namespace zqkit::trading {

namespace {
PyObject* the_module_dict = nullptr;
}  // namespace

void set_module_dict(nb::handle dict) {
    Py_XDECREF(the_module_dict);
    the_module_dict = dict.inc_ref().ptr();
}

nb::object global(const char* name) {
    return core::module_global(the_module_dict, name);
}

nb::object global(nb::handle name) {
    return core::module_global(the_module_dict, name);
}

}  // namespace zqkit::trading
