// Fronts nobody configured in the simulated counter go to the vendor's trader library, through
// the Python module zqkit._ctp_library; its handles come back to the four session functions.
#pragma once

#include <string>

#include <nanobind/nanobind.h>

namespace zqkit::ctp {

// Whether `address` has a counter configured in this process (the routing rule of create).
bool is_simulated(const std::string& address);

// Opens a connection through the library backend; its exceptions (extra or locale missing)
// propagate unchanged.
nanobind::object create_library_connection(nanobind::handle front, nanobind::handle flow_path);

// The backend module when `handle` is one of its handles, else an invalid object. The module
// is loaded only by a create that went there, so while it is not loaded no such handle exists.
nanobind::object library_backend_of(nanobind::handle handle);

}  // namespace zqkit::ctp
