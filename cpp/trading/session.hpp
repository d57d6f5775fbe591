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

// _by_ref(ref): the native order of a reference of the current front and session, or None.
nb::object by_ref(nb::handle self, nb::handle ref);
// _is_spec_order(row), a static method: the order row is speculative.
nb::object is_spec_order(nb::handle row);
// _is_spec_trade(row), a static method: the trade row is speculative.
nb::object is_spec_trade(nb::handle row);
// _child(row): finds or creates the native order a CTP order row describes.
nb::object child(nb::handle self, nb::handle row);
// _order(row, query_revision=None): applies one CTP order row to the book.
nb::object order(nb::handle self, nb::handle row, nb::handle query_revision);

// ---- trades.cpp: trade application ----

// ---- frozen_volumes.cpp: frozen and closable volumes, aggregation ----

}  // namespace zqkit::trading
