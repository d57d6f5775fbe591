#include "state.hpp"

#include "core/core.hpp"

namespace zqkit::data {

State& state() {
    static State instance;
    return instance;
}

nb::object module_global(PyObject* name) {
    return core::module_global(state().globals, name);
}

bool global_is(PyObject* name, PyObject* original, nb::object& found) {
    found = module_global(name);
    return found.ptr() == original;
}

}  // namespace zqkit::data
