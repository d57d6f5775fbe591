// The methods of `Trading`, one group per file. Each takes the Python instance `self` and reads
// and writes its state through attributes, so the state stays in real Python objects and a test
// double set on an instance (or a method replaced on it) takes part.
#pragma once

#include <nanobind/nanobind.h>

#include "core/coro.hpp"

namespace zqkit::trading {

namespace nb = nanobind;
using core::Task;

// ---- lifecycle.cpp: construction, the main loop and its helpers ----

// ---- login_scheduler.cpp: requests, login phases, the query scheduler ----

// ---- dispatch.cpp: event ----

// ---- query_completion.cpp: _complete, _complete_account, _positions ----

// ---- orders.cpp: the order book ----

// ---- trades.cpp: trade application ----
nb::object trade_id(nb::handle self, nb::handle row);
nb::object trade_key(nb::handle self, nb::handle row);
bool trade(nb::handle self, nb::handle row, nb::handle update_position);
void apply_position_trade(nb::handle self, nb::handle row);

// ---- frozen_volumes.cpp: frozen and closable volumes, aggregation ----
nb::object free_parts(nb::handle self, nb::handle symbol, nb::handle side);
void recompute_frozen(nb::handle self, nb::handle symbol);
void aggregate(nb::handle self, nb::handle child);

}  // namespace zqkit::trading
