// zqkit.data: registers the module's names, in the order the module binds them at import.
#include <nanobind/nanobind.h>

#include "errors.hpp"
#include "state.hpp"

namespace nb = nanobind;
using namespace zqkit::data;

NB_MODULE(data, m) {
    m.doc() = "Wire conversion and local market data objects.";
    init_names();
    state().globals = nb::borrow(m.attr("__dict__")).inc_ref().ptr();

    m.attr("ZqError") = create_zq_error();
}
