#include "c_api.hpp"

#include "entry.hpp"
#include "state.hpp"
#include "validation.hpp"

namespace zqkit::data {

namespace {

PyObject* different_result(PyObject* old_value, PyObject* new_value) {
    return guarded([&] {
        CallGlobals globals;
        return different_value(old_value, new_value, globals);
    });
}

// Lives as long as the module's code: the capsule hands out its address.
CApi api{};

}  // namespace

nb::object create_c_api() {
    api.different = state().different;
    api.different_result = &different_result;
    return checked(PyCapsule_New(&api, c_api_capsule, nullptr));
}

}  // namespace zqkit::data
