#include "trading/session_values.hpp"

#include "core/py_errors.hpp"
#include "trading/module_state.hpp"

namespace zqkit::trading {

using core::checked;

nb::object monotonic() {
    return core::call_method(global(name::time), name::monotonic);
}

nb::object now_ms() {
    static PyObject* const thousand = PyLong_FromLong(1000);  // kept for the process
    nb::object seconds = core::call_method(global(name::time), name::time);
    nb::object millis = checked(PyNumber_Multiply(seconds.ptr(), thousand));
    return checked(PyNumber_Long(millis.ptr()));
}

nb::handle zero() {
    static PyObject* const value = PyLong_FromLong(0);  // kept for the process
    return value;
}

nb::object row_symbol(nb::handle row) {
    nb::object exchange = core::str_of(core::item(row, name::exchange_id_field));
    nb::object prefix = core::add(exchange, name::dot);
    nb::object instrument = core::str_of(core::item(row, name::instrument_id_field));
    return core::add(prefix, instrument);
}

nb::object formatted_row_symbol(nb::handle row) {
    nb::object exchange =
        checked(PyObject_Format(core::item(row, name::exchange_id_field).ptr(), nullptr));
    nb::object instrument =
        checked(PyObject_Format(core::item(row, name::instrument_id_field).ptr(), nullptr));
    nb::object head = checked(PyUnicode_Concat(exchange.ptr(), name::dot.ptr()));
    return checked(PyUnicode_Concat(head.ptr(), instrument.ptr()));
}

bool is_busy_code(nb::handle code) {
    return core::is_one_of(code, {nb::int_(90), nb::int_(154)});
}

bool is_finished(nb::handle status) {
    return core::is_one_of(status, {name::filled, name::cancelled, name::rejected});
}

bool other_trading_day(nb::handle self, nb::handle row) {
    if (!core::truthy(core::get(row, name::trading_day_field))) return false;
    nb::object day = core::get(row, name::trading_day_field);  // read before self.day, as Python
    return core::not_equal(day, core::attr(self, name::day));
}

void raise_timeout(nb::handle message) {
    core::raise(nb::handle(PyExc_TimeoutError)(message));
}

void raise_buffer_error(nb::handle message) {
    core::raise(nb::handle(PyExc_BufferError)(message));
}

// Each tuple is made once and kept for the life of the process.
PyObject* symbol_keyword() {
    static PyObject* const names = core::keyword_names({&name::symbol});
    return names;
}

PyObject* update_position_keyword() {
    static PyObject* const names = core::keyword_names({&name::update_position});
    return names;
}

PyObject* query_revision_keyword() {
    static PyObject* const names = core::keyword_names({&name::query_revision});
    return names;
}

}  // namespace zqkit::trading
