// `_complete`, `_complete_account`, `_positions`: a finished query becomes private state, and the
// login-time position snapshot is accepted only once the trades around it agree.
#include "core/py_errors.hpp"
#include "core/py_ops.hpp"
#include "trading/module_state.hpp"
#include "trading/names.hpp"
#include "trading/session.hpp"
#include "trading/session_values.hpp"

#include <vector>

namespace zqkit::trading {

namespace {

using core::attr;
using core::call_method;
using core::get;
using core::item;
using core::set_attr;
using core::set_item;
using core::truthy;

[[noreturn]] void raise_zq_error(const char* message) {
    nb::object error_type = global(name::zq_error);
    core::raise(error_type(nb::str(message)));
}

// ---- one step per query kind ----

// Futures and options only, keyed by symbol; a later row of a symbol replaces an earlier one.
nb::object tradable_instruments(nb::handle rows) {
    nb::dict instruments;
    nb::object iterator = core::iterate(rows);
    while (nb::object row = core::next(iterator)) {
        if (core::is_one_of(get(row, name::product_class_field), {name::text_1, name::text_2}))
            set_item(instruments, formatted_row_symbol(row), row);
    }
    return instruments;
}

void rebuild_orders(nb::handle self, nb::handle rows, nb::handle query) {
    nb::object iterator = core::iterate(rows);
    while (nb::object row = core::next(iterator)) {
        if (truthy(call_method(self, name::_is_spec_order, row)))
            core::call_method_kw(self, name::_order, query_revision_keyword(), row,
                                 item(query, name::revision));
    }
}

nb::list speculation_trades(nb::handle self, nb::handle rows) {
    nb::list trades;
    nb::object iterator = core::iterate(rows);
    while (nb::object row = core::next(iterator)) {
        if (truthy(call_method(self, name::_is_spec_trade, row))) trades.append(row);
    }
    return trades;
}

nb::object trade_keys(nb::handle self, const nb::list& trades) {
    nb::object keys = core::checked(PySet_New(nullptr));
    for (nb::handle row : trades)
        core::checked_status(PySet_Add(keys.ptr(), call_method(self, name::_trade_key, row).ptr()));
    return keys;
}

// Recorded as orders' progress; positions come from the snapshot.
void record_trades(nb::handle self, const nb::list& trades) {
    for (nb::handle row : trades)
        core::call_method_kw(self, name::_trade, update_position_keyword(), row, Py_False);
}

void first_trades(nb::handle self, nb::handle rows) {
    nb::list trades = speculation_trades(self, rows);
    set_attr(self, name::trade_before, trade_keys(self, trades));
    record_trades(self, trades);
}

// ---- the position baseline ----

// A trade the first query saw may not vanish; any trade new to it, pushed meanwhile or still
// waiting for its order means the snapshot may or may not include it.
bool snapshot_moved(nb::handle self, nb::handle stable) {
    if (core::not_equal(attr(self, name::trade_before), stable)) return true;
    nb::object buffered = core::checked(PySet_New(attr(self, name::live_trade_buffer).ptr()));
    if (!core::compare(buffered, stable, Py_LE)) return true;
    return truthy(attr(self, name::pending_trades));
}

// Trades happened while the snapshot was taken: take both trade queries and the snapshot again.
void retake_snapshot(nb::handle self, nb::handle stable) {
    set_attr(self, name::trade_before, stable);
    set_attr(self, name::position_candidate, Py_None);
    nb::object steps = global(name::sync_steps);
    set_attr(self, name::sync_index, call_method(steps, name::index, name::trades_before));
    set_attr(self, name::phase_time, monotonic());
    call_method(self, name::_touch);
}

// Every position users see starts empty: known zeros for a tradable instrument, unknown else.
nb::object empty_positions(nb::handle self, nb::handle now_ms) {
    nb::dict positions;
    nb::object iterator = core::iterate(attr(self, name::positions));
    while (nb::object symbol = core::next(iterator)) {
        nb::object make = global(name::empty_position);
        bool known = core::contains(attr(self, name::instruments), symbol);
        set_item(positions, symbol, core::call(make, symbol, known ? now_ms : nb::handle(Py_None)));
    }
    return positions;
}

void accept_snapshot(nb::handle self, nb::handle now_ms) {
    set_attr(self, name::p, empty_positions(self, now_ms));
    nb::object update = attr(attr(self, name::p), name::update);
    nb::object candidate = attr(self, name::position_candidate);
    if (!truthy(candidate)) candidate = nb::dict();
    core::call(update, candidate);
    set_attr(self, name::position_candidate, Py_None);
    call_method(attr(self, name::live_trade_buffer), name::clear);
    set_attr(self, name::position_ready, Py_True);
    // Every position of the new baseline needs its closable and frozen volumes.
    call_method(self, name::_recompute_frozen);
    set_attr(self, name::published_position_time, now_ms);
}

// The second trade query decides on the snapshot; false when the steps are taken again.
bool check_baseline(nb::handle self, nb::handle rows, nb::handle now_ms) {
    nb::list trades = speculation_trades(self, rows);
    nb::object stable = trade_keys(self, trades);
    record_trades(self, trades);
    if (!core::compare(attr(self, name::trade_before), stable, Py_LE))
        raise_timeout("登录期间成交查询结果回退，需要重建会话");
    if (snapshot_moved(self, stable)) {
        retake_snapshot(self, stable);
        return false;
    }
    accept_snapshot(self, now_ms);
    return true;
}

// After each login step: the next one, and "READY" after the last.
void advance_sync(nb::handle self) {
    set_attr(self, name::phase_time, monotonic());
    nb::object one = nb::int_(1);
    nb::object index =
        core::checked(PyNumber_InPlaceAdd(attr(self, name::sync_index).ptr(), one.ptr()));
    set_attr(self, name::sync_index, index);
    nb::object steps = nb::int_(core::size_of(global(name::sync_steps)));
    if (core::equal(attr(self, name::sync_index), steps)) {
        set_attr(self, name::phase, name::ready);
        call_method(self, name::_status, name::status_ready);
        call_method(attr(self, name::recovery), name::success);
    }
}

// ---- account ----

nb::list cny_accounts(nb::handle self, nb::handle rows) {
    nb::list selected;
    nb::object iterator = core::iterate(rows);
    while (nb::object row = core::next(iterator)) {
        if (core::equal(get(row, name::currency_id_field, name::cny), name::cny) &&
            core::equal(get(row, name::account_id_field),
                        attr(attr(self, name::config), name::user_id)))
            selected.append(row);
    }
    return selected;
}

// {key: finite(row.get(field)) for key, field in ACCOUNT_FIELDS.items()}
nb::object account_values(nb::handle row) {
    nb::dict values;
    nb::object fields = core::iterate(call_method(global(name::account_fields), name::items));
    while (nb::object pair = core::next(fields)) {
        std::vector<nb::object> key_field = core::unpack(pair, 2);
        nb::object finite = global(name::finite);
        set_item(values, key_field[0], core::call(finite, get(row, key_field[1])));
    }
    return values;
}

// ---- positions ----

// The keys of one side of a position dict.
const PositionSide& side_of(nb::handle row) {
    if (core::equal(item(row, name::posi_direction_field), name::text_2)) return long_side;
    if (core::equal(item(row, name::posi_direction_field), name::text_3)) return short_side;
    raise_zq_error("持仓查询包含不支持的净持仓方向");
}

// min(a, b, c) < 0, compared as min() does
bool any_negative(nb::handle a, nb::handle b, nb::handle c) {
    nb::handle smallest = a;
    for (nb::handle value : {b, c}) {
        if (core::checked_status(PyObject_RichCompareBool(value.ptr(), smallest.ptr(), Py_LT)))
            smallest = value;
    }
    nb::object zero = nb::int_(0);
    return core::compare(smallest, zero, Py_LT);
}

void add_position_row(nb::handle self, const nb::dict& positions, nb::handle row,
                      nb::handle updated) {
    if (other_trading_day(self, row)) raise_timeout("持仓查询期间交易日发生变化");
    nb::object symbol = formatted_row_symbol(row);
    if (!core::contains(attr(self, name::instruments), symbol) &&
        truthy(get(row, name::position_field, nb::int_(0))))
        raise_zq_error("持仓查询包含 SDK 不支持的合约类别");
    const PositionSide& side = side_of(row);
    nb::object fresh = core::call(global(name::empty_position), symbol, updated);
    PyObject* kept = PyDict_SetDefault(positions.ptr(), symbol.ptr(), fresh.ptr());
    if (kept == nullptr) throw nb::python_error();
    nb::object position = nb::borrow(kept);
    nb::object total = item(row, name::position_field);
    nb::object today = item(row, name::today_position_field);
    if (core::is_one_of(item(row, name::exchange_id_field), {name::shfe, name::ine})) {
        // There each row is wholly today's or wholly older position.
        if (core::equal(item(row, name::position_date_field), name::text_1)) {
            today = total;
        } else {
            today = nb::int_(0);
        }
    }
    nb::object history = core::checked(PyNumber_Subtract(total.ptr(), today.ptr()));
    if (any_negative(total, today, history)) raise_zq_error("柜台持仓快照中的今昨仓数量无效");
    core::add_to_item(position, *side.total, total);
    core::add_to_item(position, *side.today, today);
    core::add_to_item(position, *side.his, history);
}

}  // namespace

void complete(nb::handle self, nb::handle query) {
    nb::object kind = item(query, name::kind);
    nb::object rows = item(query, name::rows);
    nb::object now_ms = trading::now_ms();
    if (core::equal(kind, name::instruments)) {
        set_attr(self, name::instruments, tradable_instruments(rows));
    } else if (core::equal(kind, name::orders)) {
        rebuild_orders(self, rows, query);
    } else if (core::equal(kind, name::trades_before)) {
        first_trades(self, rows);
    } else if (core::equal(kind, name::positions)) {
        set_attr(self, name::position_candidate, call_method(self, name::_positions, rows, now_ms));
    } else if (core::equal(kind, name::trades_after)) {
        if (!check_baseline(self, rows, now_ms)) return;
    } else if (core::equal(kind, name::account)) {
        call_method(self, name::_complete_account, rows, now_ms);
        call_method(attr(self, name::query_recovery), name::success);
    }
    if (core::equal(attr(self, name::phase), name::sync)) advance_sync(self);
    call_method(self, name::_touch);
}

void complete_account(nb::handle self, nb::handle rows, nb::handle now_ms) {
    nb::list selected = cny_accounts(self, rows);
    if (selected.size() != 1) raise_zq_error("完整资金查询中应恰好包含一个人民币账户");
    nb::object row = selected[0];
    if (other_trading_day(self, row)) raise_timeout("资金查询期间交易日发生变化");
    nb::object update = attr(attr(self, name::a), name::update);
    core::call(update, account_values(row));
    set_item(attr(self, name::a), name::updated_at, now_ms);
    set_attr(self, name::last_account_refresh, monotonic());
}

nb::object positions(nb::handle self, nb::handle rows, nb::handle updated) {
    nb::dict positions;
    nb::object iterator = core::iterate(rows);
    while (nb::object row = core::next(iterator)) {
        if (core::not_equal(get(row, name::hedge_flag_field), name::text_1)) continue;
        add_position_row(self, positions, row, updated);
    }
    for (auto [symbol, position] : positions) {
        nb::object net = core::checked(PyNumber_Subtract(item(position, name::pos_long).ptr(),
                                                         item(position, name::pos_short).ptr()));
        set_item(position, name::pos, net);
    }
    return positions;
}

}  // namespace zqkit::trading
