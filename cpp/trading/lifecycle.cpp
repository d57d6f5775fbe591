// Construction, the main loop that owns the connection, the reset of private state, the change
// signal and shutdown.
#include <exception>
#include <initializer_list>

#include "core/coro.hpp"
#include "core/py_errors.hpp"
#include "core/py_ops.hpp"
#include "trading/module_state.hpp"
#include "trading/names.hpp"
#include "trading/session.hpp"
#include "trading/session_values.hpp"

namespace zqkit::trading {

using namespace nb::literals;

namespace {

constexpr const char* unavailable = "交易连接不可用，请检查账户配置或稍后重新连接。";
constexpr double poll_pause_seconds = 0.01;
constexpr int reconnect_pause_seconds = 1;

// The private dicts `_clear_cache` empties in place, in the order it empties them.
constexpr const char* cleared_tables[] = {"o",
                                          "t",
                                          "native_orders",
                                          "instruments",
                                          "ref_orders",
                                          "system_orders",
                                          "pending_trades",
                                          "live_trade_buffer",
                                          "order_revisions"};

// Account(account_id=config.user_id if config else None)
nb::object empty_account(nb::handle config) {
    nb::object account_id = core::truthy(config) ? nb::object(config.attr("user_id")) : nb::none();
    return global("Account")("account_id"_a = account_id);
}

// dict(values)
nb::object dict_copy(nb::handle values) {
    return nb::borrow(reinterpret_cast<PyObject*>(&PyDict_Type))(values);
}

// The user-visible objects, registered in `objects` under their id() in this order.
void register_views(nb::handle self, nb::handle objects) {
    nb::object views = nb::make_tuple(self.attr("account"), self.attr("positions"),
                                      self.attr("orders"), self.attr("trades"));
    for (nb::handle view : views) {
        nb::object key = core::checked(PyLong_FromVoidPtr(view.ptr()));
        core::checked_status(PyObject_SetItem(objects.ptr(), key.ptr(), view.ptr()));
    }
}

// {symbol: empty_position(symbol) for symbol in self.positions}
nb::dict empty_positions(nb::handle self) {
    nb::dict positions;
    nb::object visible = self.attr("positions");
    for (nb::handle symbol : visible) positions[symbol] = global("empty_position")(symbol);
    return positions;
}

// Runs `body` as the body of an `except` block handling `handled`: what it raises gets
// `handled` as its __context__, as the interpreter chains it.
template <class Body>
void as_handler_of(nb::handle handled, Body&& body) {
    try {
        body();
    } catch (const nb::python_error& error) {
        core::chain_context(error.value(), handled);
        throw;
    }
}

// One pass of the loop: connect when needed, check the budget while not ready, dispatch every
// polled event in order, then let the scheduler run.
void poll_pass(nb::handle self) {
    if (self.attr("native").is_none()) self.attr("_open_native")();
    if (self.attr("session_status").not_equal(nb::str("READY")))
        self.attr("recovery").attr("check")();
    nb::object events = self.attr("native").attr("poll")();
    for (nb::handle event : events) self.attr("event")(event);
    nb::object tick = self.attr("tick");
    tick(monotonic());
}

// A pass whose transient failure (the connection is rebuilt after it) is returned, not raised.
nb::object pass_or_transient_failure(nb::handle self) {
    try {
        poll_pass(self);
        return {};
    } catch (const nb::python_error& error) {
        nb::object transient =
            nb::make_tuple(nb::handle(PyExc_TimeoutError), nb::handle(PyExc_BufferError),
                           nb::handle(PyExc_ConnectionError), nb::handle(PyExc_OSError));
        if (!error.matches(transient)) throw;
        return nb::borrow(error.value());
    }
}

// After a transient failure: count it, forget everything and drop the connection.
void reset_for_reconnect(nb::handle self) {
    self.attr("recovery").attr("fail")();
    self.attr("_clear_cache")("SYNCING");
    nb::setattr(self, "phase", nb::str("connecting"));
    nb::setattr(self, "phase_time", monotonic());
    self.attr("_close_native")();
}

// Cancellation and what is not an Exception (GeneratorExit, KeyboardInterrupt) leave the loop
// unchanged; every other exception ends the session.
bool ends_session(nb::handle error) {
    nb::object cancelled = global("asyncio").attr("CancelledError");
    if (PyErr_GivenExceptionMatches(error.ptr(), cancelled.ptr())) return false;
    return PyErr_GivenExceptionMatches(error.ptr(), PyExc_Exception) != 0;
}

// The session gives up: the generic error keeps what ended the loop as its cause, so that a
// refused login and a dead front can still be told apart.
void give_up(nb::handle self, nb::handle ending) {
    nb::setattr(self, "error", global("ZqError")(unavailable));
    nb::setattr(self.attr("error"), "__cause__", ending);
    self.attr("_clear_cache")("ERROR");
}

}  // namespace

void trading_init(nb::handle self, nb::handle config, nb::handle timeout, nb::handle objects,
                  nb::handle native_factory) {
    nb::setattr(self, "config", config);
    nb::setattr(self, "timeout", timeout);
    nb::setattr(self, "objects", objects);
    nb::setattr(self, "factory", native_factory);
    nb::setattr(self, "account", empty_account(config));
    nb::setattr(self, "session_status", nb::str(core::truthy(config) ? "SYNCING" : "ERROR"));
    nb::setattr(self, "published_status", self.attr("session_status"));
    nb::setattr(self, "positions", global("LiveMap")(global("Position")));
    nb::setattr(self, "orders", global("LiveMap")(global("Order")));
    nb::setattr(self, "trades", nb::list());
    nb::setattr(self, "trade_views", nb::dict());
    register_views(self, objects);
    nb::setattr(self, "a", dict_copy(self.attr("account").attr("_values")));
    for (const char* table : {"p", "o", "t", "native_orders", "instruments", "ref_orders",
                              "system_orders", "pending_trades", "live_trade_buffer"})
        nb::setattr(self, table, nb::dict());
    nb::setattr(self, "trade_before", nb::set());
    nb::setattr(self, "position_candidate", nb::none());
    nb::setattr(self, "position_ready", nb::bool_(false));
    nb::setattr(self, "pending", nb::set());
    nb::setattr(self, "inflight", nb::none());
    nb::setattr(self, "sync_index", nb::int_(0));
    nb::setattr(self, "last_query", -global("math").attr("inf"));
    nb::setattr(self, "last_account_refresh", nb::float_(0.0));
    nb::setattr(self, "request_id", nb::int_(0));
    nb::setattr(self, "order_ref", nb::int_(0));
    nb::setattr(self, "order_revisions", nb::dict());
    nb::setattr(self, "revision", nb::int_(0));
    nb::setattr(self, "front", nb::int_(0));
    nb::setattr(self, "session", nb::int_(0));
    nb::setattr(self, "day", nb::str(""));
    nb::setattr(self, "phase", nb::str("connecting"));
    nb::setattr(self, "phase_id", nb::none());
    nb::setattr(self, "phase_time", monotonic());
    nb::setattr(self, "phase_data", nb::dict());
    for (const char* unset : {"task", "native", "error"}) nb::setattr(self, unset, nb::none());
    nb::setattr(self, "dirty", nb::bool_(false));
    nb::setattr(self, "changed", global("asyncio").attr("Event")());
    nb::setattr(self, "directory", nb::none());
    nb::setattr(self, "reset_pending", nb::bool_(false));
    nb::setattr(self, "recovery", global("Recovery")("交易连接"));
    nb::setattr(self, "query_recovery", global("Recovery")("账户查询", 3, 120));
    nb::setattr(self, "published_position_time", nb::none());
}

void start(nb::handle self) {
    if (self.attr("config").is_none() || !self.attr("task").is_none()) return;
    nb::object create_task = global("asyncio").attr("create_task");
    nb::setattr(self, "task", create_task(self.attr("run")()));
}

void open_native(nb::handle self) {
    // One flow directory per session, handed to every later connection.
    if (self.attr("directory").is_none())
        nb::setattr(self, "directory", global("mkdtemp")("prefix"_a = "zqkit-ctp-"));
    nb::object factory = self.attr("factory");
    nb::setattr(self, "native", factory(self.attr("config"), self.attr("directory")));
}

void close_native(nb::handle self) {
    if (self.attr("native").is_none()) return;
    self.attr("native").attr("close")();
    nb::setattr(self, "native", nb::none());
}

void clear_cache(nb::handle self, nb::handle status) {
    nb::setattr(self, "a", dict_copy(empty_account(self.attr("config")).attr("_values")));
    nb::setattr(self, "session_status", status);
    // The same dict objects stay in place: emptied, not replaced.
    nb::list tables;
    for (const char* table : cleared_tables) tables.append(self.attr(table));
    for (nb::handle table : tables) table.attr("clear")();
    nb::setattr(self, "p", empty_positions(self));
    self.attr("trade_before").attr("clear")();
    nb::setattr(self, "position_candidate", nb::none());
    nb::setattr(self, "position_ready", nb::bool_(false));
    self.attr("pending").attr("clear")();
    nb::setattr(self, "inflight", nb::none());
    nb::setattr(self, "sync_index", nb::int_(0));
    nb::setattr(self, "last_account_refresh", nb::float_(0.0));
    nb::setattr(self, "revision", nb::int_(0));
    nb::setattr(self, "front", nb::int_(0));
    nb::setattr(self, "session", nb::int_(0));
    nb::setattr(self, "phase_id", nb::none());
    self.attr("phase_data").attr("clear")();
    nb::setattr(self, "published_position_time", nb::none());
    nb::setattr(self, "reset_pending", nb::bool_(true));
    self.attr("_touch")();
}

void touch(nb::handle self) {
    core::checked_status(PyObject_SetAttr(self.ptr(), name::dirty.ptr(), Py_True));
    nb::object changed = core::checked(PyObject_GetAttr(self.ptr(), name::changed.ptr()));
    core::checked(PyObject_CallMethodNoArgs(changed.ptr(), name::set.ptr()));
}

void set_status(nb::handle self, nb::handle value) {
    nb::setattr(self, "session_status", value);
    self.attr("_touch")();
}

Task<> run(nb::object self) {
    self.attr("recovery").attr("begin")();
    std::exception_ptr ending;
    try {
        while (true) {
            nb::object transient = pass_or_transient_failure(self);
            if (transient.is_valid()) {
                as_handler_of(transient, [&] { reset_for_reconnect(self); });
                try {
                    nb::object pause = global("asyncio").attr("sleep")(reconnect_pause_seconds);
                    co_await std::move(pause);
                } catch (const nb::python_error& error) {
                    core::chain_context(error.value(), transient);
                    throw;
                }
            }
            nb::object pause = global("asyncio").attr("sleep")(poll_pause_seconds);
            co_await std::move(pause);
        }
    } catch (...) {
        ending = std::current_exception();
    }
    nb::object error = core::exception_object(ending);
    if (!ends_session(error)) std::rethrow_exception(ending);
    as_handler_of(error, [&] { give_up(self, error); });
}

Task<> close(nb::object self) {
    if (core::truthy(self.attr("task"))) {
        self.attr("task").attr("cancel")();
        nb::object gather = global("asyncio").attr("gather");
        nb::object gathering = gather(self.attr("task"), "return_exceptions"_a = true);
        co_await std::move(gathering);
    }
    self.attr("_close_native")();
}

}  // namespace zqkit::trading
