// What each file of zqkit.trading binds into the module, in the order the module binds it.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::trading {

namespace nb = nanobind;

// asyncio … mkdtemp from the standard library, then the sibling modules' names.
void bind_imports(nb::module_& m);
// TZ
void bind_time_zone(nb::module_& m);
// QUERY, SYNC_STEPS, PHASE_LABELS, QUERY_LABELS, ACCOUNT_FIELDS, OFFSET_BY_FLAG, FLAG_BY_OFFSET
void bind_session_tables(nb::module_& m);
// timestamp, finite
void bind_field_conversions(nb::module_& m);
// local_order_id, order_offset
void bind_order_ids(nb::module_& m);
// Native
void bind_native(nb::module_& m);
// Trading
void bind_trading(nb::module_& m);

// The module's dict: functions read their globals from it at call time, so that
// monkeypatching zqkit.trading.<name> reaches them.
inline nb::object globals_of(nb::module_& m) {
    return nb::borrow(PyModule_GetDict(m.ptr()));
}

}  // namespace zqkit::trading
