#include "library_backend.hpp"

#include <mutex>

#include "world.hpp"

namespace zqkit::ctp {

namespace nb = nanobind;

namespace {

constexpr const char* kBackend = "zqkit._ctp_library";

}  // namespace

bool is_simulated(const std::string& address) {
    std::lock_guard lock(world().mutex);
    return find_counter(address) != nullptr;
}

nb::object create_library_connection(nb::handle front, nb::handle flow_path) {
    return nb::module_::import_(kBackend).attr("create")(front, flow_path);
}

nb::object library_backend_of(nb::handle handle) {
    PyObject* backend = PyDict_GetItemString(PyImport_GetModuleDict(), kBackend);  // borrowed
    if (backend == nullptr) return {};
    nb::object handle_type = nb::borrow(backend).attr("Handle");
    int is_instance = PyObject_IsInstance(handle.ptr(), handle_type.ptr());
    if (is_instance < 0) throw nb::python_error();
    if (is_instance == 0) return {};
    return nb::borrow(backend);
}

}  // namespace zqkit::ctp
