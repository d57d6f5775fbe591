// Trade returns: the trade book, the traded volume of native orders and the positions a trade
// changes. Every contradiction with the local book raises BufferError or TimeoutError, which the
// main loop answers by rebuilding the session.
#include <utility>

#include "core/py_errors.hpp"
#include "core/py_ops.hpp"
#include "trading/module_state.hpp"
#include "trading/session.hpp"
#include "trading/session_values.hpp"

namespace zqkit::trading {

namespace {

using core::attr;
using core::call_method;
using core::compare;
using core::equal;
using core::item;
using core::not_equal;
using core::set_item;

// The unassigned-trade buffer holds at most this many rows.
constexpr Py_ssize_t kPendingTradeLimit = 32767;

// A row naming a trading day names the session's.

// Keeps a trade whose order is not known yet; a row already kept stays as it was.
void buffer_unassigned(nb::handle self, nb::handle key, nb::handle row) {
    if (core::contains(attr(self, name::pending_trades), key)) return;
    if (core::size_of(attr(self, name::pending_trades)) > kPendingTradeLimit) {
        raise_buffer_error("未关联订单的成交暂存队列已满");
    }
    set_item(attr(self, name::pending_trades), key, row);
}

// row["Volume"]: an exact, positive int.
nb::object traded_volume(nb::handle row) {
    nb::object volume = item(row, name::volume_field);
    if (!PyLong_CheckExact(volume.ptr()) || compare(volume, zero(), Py_LE)) {
        raise_buffer_error("成交数量无效");
    }
    return volume;
}

void add_traded_volume(nb::handle order, nb::handle volume) {
    core::add_to_item(order, name::volume_traded, volume);
    nb::object original = item(order, name::volume_original);
    set_item(order, name::volume_left, core::subtract(original, item(order, name::volume_traded)));
    if (compare(item(order, name::volume_left), zero(), Py_LT)) {
        raise_buffer_error("成交数量超过订单原始数量");
    }
}

// A finish the counter reported before all its trades arrived takes effect with the last one.
void release_held_finish(nb::handle order) {
    if (!core::truthy(item(order, name::pending_finish))) return;
    nb::object traded = item(order, name::volume_traded);
    if (!compare(traded, item(order, name::expected_traded), Py_GE)) return;
    set_item(order, name::pending_finish, Py_False);
    set_item(order, name::status, core::pop(order, name::finish_status));
    set_item(order, name::status_msg, core::pop(order, name::finish_msg, name::empty));
}

void mark_fully_traded(nb::handle order) {
    if (!equal(item(order, name::volume_left), zero())) return;
    set_item(order, name::pending_finish, Py_False);
    if (not_equal(item(order, name::status), name::filled) ||
        !core::truthy(item(order, name::status_msg))) {
        set_item(order, name::status_msg, name::fully_traded);
    }
    set_item(order, name::status, name::filled);
}

// A finished order has nothing left to cancel.
void clear_cancel_when_finished(nb::handle order) {
    if (!is_finished(item(order, name::status))) return;
    set_item(order, name::cancel_pending, Py_False);
    set_item(order, name::cancel_error, Py_None);
}

// The trade record stored in `t`: the fields of a user-visible trade.
nb::object trade_record(nb::handle key, nb::handle row, nb::handle system_id, nb::handle symbol,
                        nb::handle volume) {
    static PyObject* const one = PyLong_FromLong(1);  // kept for the process
    nb::object trade_id = core::checked(PyObject_GetItem(key.ptr(), one));
    nb::handle direction =
        equal(item(row, name::direction_field), name::text_0) ? name::buy.ptr() : name::sell.ptr();
    nb::object order_offset = global(name::order_offset);
    nb::object offset = core::call(order_offset, item(row, name::offset_flag_field));
    nb::object price = item(row, name::price_field);
    nb::object timestamp = global(name::timestamp);
    nb::object trade_date = item(row, name::trade_date_field);
    nb::object trade_time = core::call(timestamp, trade_date, item(row, name::trade_time_field));
    nb::object record = core::checked(PyDict_New());
    std::pair<const core::InternedName*, nb::handle> fields[] = {
        {&name::trade_id, trade_id},   {&name::order_sys_id, system_id}, {&name::symbol, symbol},
        {&name::direction, direction}, {&name::offset, offset},          {&name::price, price},
        {&name::volume, volume},       {&name::trade_time, trade_time}};
    for (const auto& [field, value] : fields) {
        core::checked_status(PyDict_SetItem(record.ptr(), field->ptr(), value.ptr()));
    }
    return record;
}

// Applies the trade to a native order already bound to it, then to the book.
void apply_to_order(nb::handle self, nb::handle row, nb::handle key, nb::handle system_id,
                    nb::handle order, nb::handle update_position) {
    nb::object volume = traded_volume(row);
    add_traded_volume(order, volume);
    release_held_finish(order);
    mark_fully_traded(order);
    clear_cancel_when_finished(order);
    nb::object symbol = row_symbol(row);
    nb::object record = trade_record(key, row, system_id, symbol, volume);
    set_item(attr(self, name::t), key, record);
    if (core::truthy(update_position)) {
        call_method(self, name::_apply_position_trade, row);
        core::call_method_kw(self, name::_recompute_frozen, symbol_keyword(), symbol);
    }
    call_method(self, name::_aggregate, order);
    call_method(self, name::_schedule_account);
    call_method(self, name::_touch);
}

void open_position(nb::handle position, nb::handle row, nb::handle volume) {
    const PositionSide& side =
        equal(item(row, name::direction_field), name::text_0) ? long_side : short_side;
    core::add_to_item(position, *side.total, volume);
    core::add_to_item(position, *side.today, volume);
}

// Closes `volume` lots of the side a trade closes: close-today from today's lots, close-yesterday
// from earlier days' lots, a plain close from earlier days' lots first.
void close_position(nb::handle position, nb::handle row, nb::handle volume) {
    const PositionSide& side =
        equal(item(row, name::direction_field), name::text_0) ? short_side : long_side;
    if (compare(volume, item(position, *side.total), Py_GT)) {
        raise_buffer_error("平仓成交数量超过本地持仓");
    }
    std::pair<const core::InternedName*, nb::object> parts[2];
    size_t count = 1;
    if (equal(item(row, name::offset_flag_field), name::text_3)) {
        parts[0] = {side.today, nb::borrow(volume)};
    } else if (equal(item(row, name::offset_flag_field), name::text_4)) {
        parts[0] = {side.his, nb::borrow(volume)};
    } else {
        nb::object his = item(position, *side.his);
        if (compare(his, volume, Py_LT)) {
            parts[0] = {side.his, his};
            parts[1] = {side.today, core::subtract(volume, his)};
            count = 2;
        } else {
            parts[0] = {side.his, nb::borrow(volume)};
        }
    }
    for (size_t index = 0; index < count; ++index) {
        const auto& [bucket, amount] = parts[index];
        if (compare(amount, item(position, *bucket), Py_GT)) {
            raise_buffer_error("平仓成交数量超过本地对应今昨仓");
        }
        core::subtract_from_item(position, *bucket, amount);
    }
    core::subtract_from_item(position, *side.total, volume);
}

}  // namespace

nb::object trade_id(nb::handle /*self*/, nb::handle row) {
    nb::object id = core::stripped(core::get(row, name::trade_id_field, name::empty));
    if (!core::truthy(id)) raise_buffer_error("CTP 成交回报缺少 TradeID");
    return id;
}

// Exchanges number their trades separately and both sides of a self-trade share one TradeID:
// only exchange, TradeID and direction together name one trade.
nb::object trade_key(nb::handle self, nb::handle row) {
    nb::object exchange = core::get(row, name::exchange_id_field, name::empty);
    nb::object id = call_method(self, name::_trade_id, row);
    nb::object direction = core::get(row, name::direction_field, name::empty);
    return core::checked(PyTuple_Pack(3, exchange.ptr(), id.ptr(), direction.ptr()));
}

bool trade(nb::handle self, nb::handle row, nb::handle update_position) {
    if (!core::truthy(call_method(self, name::_is_spec_trade, row))) return false;
    if (other_trading_day(self, row)) raise_timeout("成交回报的交易日发生变化");
    nb::object key = call_method(self, name::_trade_key, row);
    if (core::contains(attr(self, name::t), key)) return false;
    nb::object system_id = core::stripped(core::get(row, name::order_sys_id_field, name::empty));
    nb::object order_id = core::truthy(system_id)
                              ? core::get(attr(self, name::system_orders), system_id)
                              : nb::none();
    if (order_id.is_none()) {
        buffer_unassigned(self, key, row);
        return false;
    }
    core::pop(attr(self, name::pending_trades), key, Py_None);
    nb::object order = item(attr(self, name::native_orders), order_id);
    apply_to_order(self, row, key, system_id, order, update_position);
    return true;
}

void apply_position_trade(nb::handle self, nb::handle row) {
    nb::object symbol = row_symbol(row);
    nb::object position = core::get(attr(self, name::p), symbol);
    if (position.is_none()) {
        nb::object empty_position = global(name::empty_position);
        position = core::call(empty_position, symbol, now_ms());
        set_item(attr(self, name::p), symbol, position);
    }
    // One trade cannot make a position of unknown size known: it stays unknown.
    if (item(position, name::pos_long).is_none() || item(position, name::pos_short).is_none()) {
        return;
    }
    nb::object volume = item(row, name::volume_field);
    if (equal(item(row, name::offset_flag_field), name::text_0)) {
        open_position(position, row, volume);
    } else {
        close_position(position, row, volume);
    }
    nb::object long_total = item(position, name::pos_long);
    set_item(position, name::pos, core::subtract(long_total, item(position, name::pos_short)));
    set_item(position, name::updated_at, now_ms());
}

}  // namespace zqkit::trading
