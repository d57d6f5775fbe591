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
void trading_init(nb::handle self, nb::handle config, nb::handle timeout, nb::handle objects,
                  nb::handle native_factory);
void start(nb::handle self);
void open_native(nb::handle self);
void close_native(nb::handle self);
void clear_cache(nb::handle self, nb::handle status);
void touch(nb::handle self);
void set_status(nb::handle self, nb::handle value);
Task<> run(nb::object self);
Task<> close(nb::object self);

// ---- login_scheduler.cpp: requests, login phases, the query scheduler ----
nb::object request(nb::handle self, nb::handle method, nb::handle fields);
void phase_request(nb::handle self, nb::handle phase, nb::handle method, nb::handle data);
void schedule_account(nb::handle self);
void query_error(nb::handle self, nb::handle code, nb::handle message);
void tick(nb::handle self, nb::handle now);

// ---- dispatch.cpp: event ----

// Routes one event of the front (a dict of Native.poll) to the session's state; returns None.
void event(nb::handle self, nb::handle event);

// ---- query_completion.cpp: _complete, _complete_account, _positions ----

void complete(nb::handle self, nb::handle query);
void complete_account(nb::handle self, nb::handle rows, nb::handle now_ms);
nb::object positions(nb::handle self, nb::handle rows, nb::handle updated);

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
nb::object trade_id(nb::handle self, nb::handle row);
nb::object trade_key(nb::handle self, nb::handle row);
bool trade(nb::handle self, nb::handle row, nb::handle update_position);
void apply_position_trade(nb::handle self, nb::handle row);

// ---- frozen_volumes.cpp: frozen and closable volumes, aggregation ----
nb::object free_parts(nb::handle self, nb::handle symbol, nb::handle side);
void recompute_frozen(nb::handle self, nb::handle symbol);
void aggregate(nb::handle self, nb::handle child);

// ---- order_entry.cpp: insert, _insert and cancel ----

// insert(symbol, direction, offset, volume, limit_price): checks the order, then awaits _insert;
// every refusal is a TradingResult.
Task<nb::object> insert(nb::object self, nb::object symbol, nb::object direction, nb::object offset,
                        nb::object volume, nb::object limit_price);
// _insert(...): books and sends the native orders of an insert without suspending.
Task<nb::object> insert_worker(nb::object self, nb::object symbol, nb::object direction,
                               nb::object offset, nb::object volume, nb::object limit_price);
// cancel(order_id): sends the OrderAction of a working order; zero or one TradingResult.
nb::object cancel(nb::handle self, nb::handle order_id);
// Remembers the module's own TradingResult, local_order_id, math.isclose and the class's own
// _insert, which the fast paths of insert stand in for while they are the objects found.
void remember_order_entry(nb::handle module, nb::handle cls);

}  // namespace zqkit::trading
