// What each file of zqkit.livebook binds into the module, in the order the module binds it.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::livebook {

namespace nb = nanobind;

// Mapping, dataclass, field, TYPE_CHECKING, Literal
void bind_imports(nb::module_& m);
void bind_trading_result(nb::module_& m);
void bind_ctp_account(nb::module_& m);
void bind_live_object(nb::module_& m);
void bind_live_map(nb::module_& m);
// Account, Position, Order, Trade
void bind_records(nb::module_& m);
void bind_empty_position(nb::module_& m);

// The annotation `type | None`.
nb::object optional_of(nb::handle type);

// dataclass(frozen=True)(cls), through the module's own `dataclass`.
nb::object frozen_dataclass(nb::module_& m, nb::handle cls);

}  // namespace zqkit::livebook
