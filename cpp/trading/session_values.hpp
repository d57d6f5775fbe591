// The trading session's own values built from Python objects: the clock, a row's symbol, an
// order's finished statuses and the keys of each side of a position record.
#pragma once

#include <nanobind/nanobind.h>

#include "core/py_ops.hpp"
#include "trading/names.hpp"

namespace zqkit::trading {

namespace nb = nanobind;

// time.monotonic() and int(time.time() * 1000), through the module's `time` at call time.
nb::object monotonic();
nb::object now_ms();

// The int 0, kept for the process.
nb::handle zero();

// str(row["ExchangeID"]) + "." + str(row["InstrumentID"])
nb::object row_symbol(nb::handle row);

// f"{row['ExchangeID']}.{row['InstrumentID']}": each field through format(), which a type may
// answer differently from str().
nb::object formatted_row_symbol(nb::handle row);

// code in (90, 154): the front is busy or flow-controlled, which a reconnection outlasts.
bool is_busy_code(nb::handle code);

// status in ("FILLED", "CANCELLED", "REJECTED")
bool is_finished(nb::handle status);

// The keys of one side of a position record ("pos_" + side, "pos_" + side + "_today" …) and
// the direction of the orders that close it.
struct PositionSide {
    const core::InternedName* word;
    const core::InternedName* total;
    const core::InternedName* today;
    const core::InternedName* his;
    const core::InternedName* available;
    const core::InternedName* frozen;
    const core::InternedName* closing;
};

inline constexpr PositionSide long_side{
    &name::long_side,    &name::pos_long,       &name::pos_long_today,
    &name::pos_long_his, &name::available_long, &name::frozen_long,
    &name::sell};
inline constexpr PositionSide short_side{&name::short_side,
                                         &name::pos_short,
                                         &name::pos_short_today,
                                         &name::pos_short_his,
                                         &name::available_short,
                                         &name::frozen_short,
                                         &name::buy};

// row.get("TradingDay") and row.get("TradingDay") != self.day: a return or an answer of
// another trading day, which only a new login can take in.
bool other_trading_day(nb::handle self, nb::handle row);

// raise TimeoutError(message), raise BufferError(message): the main loop rebuilds the session.
[[noreturn]] void raise_timeout(nb::handle message);
[[noreturn]] void raise_buffer_error(nb::handle message);
[[noreturn]] inline void raise_timeout(const char* message) {
    raise_timeout(nb::str(message));
}
[[noreturn]] inline void raise_buffer_error(const char* message) {
    raise_buffer_error(nb::str(message));
}

// The keyword-name tuples of the session's calls `_recompute_frozen(symbol=...)`,
// `_trade(row, update_position=...)` and `_order(row, query_revision=...)`.
PyObject* symbol_keyword();
PyObject* update_position_keyword();
PyObject* query_revision_keyword();

}  // namespace zqkit::trading
