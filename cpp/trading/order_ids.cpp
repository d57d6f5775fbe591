// The order identifier users see, and the offset of a CTP flag.
#include "core/core.hpp"
#include "core/py_ops.hpp"
#include "trading/bindings.hpp"
#include "trading/module_state.hpp"

namespace zqkit::trading {

namespace {

// str(front) + ":" + str(session) + ":" + str(order_ref)
nb::object local_order_id(nb::handle front, nb::handle session, nb::handle order_ref) {
    nb::str colon(":");
    return nb::str(front) + colon + nb::str(session) + colon + nb::str(order_ref);
}

// OFFSET_BY_FLAG.get(first character of str(value), "CLOSE"); a false value has no character.
nb::object order_offset(nb::handle value) {
    nb::object text = core::truthy(value) ? nb::object(nb::str(value)) : nb::object(nb::str(""));
    nb::object first = text[nb::slice(nb::none(), nb::int_(1), nb::none())];
    return global("OFFSET_BY_FLAG").attr("get")(first, "CLOSE");
}

}  // namespace

void bind_order_ids(nb::module_& m) {
    m.def("local_order_id", &local_order_id, nb::arg("front").none(), nb::arg("session").none(),
          nb::arg("order_ref").none());
    m.def("order_offset", &order_offset, nb::arg("value").none());
}

}  // namespace zqkit::trading
