// Quote, the read-only quote snapshot: a real dataclass built at import.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::data {

namespace nb = nanobind;

// `dataclass(eq=False)` applied to a class made here, whose __setattr__ refuses to rebind a field
// once the generated initialiser has set it.
nb::object create_quote(nb::handle dataclass, nb::handle field, nb::handle math);

}  // namespace zqkit::data
