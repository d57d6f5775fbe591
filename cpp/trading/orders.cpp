// The order book: the native orders behind the user's orders, the indexes that find them from a
// CTP order return, and the handling of each return.
//
// Event dispatch runs `_order` for every pushed return, so rows and records that are exact dicts
// and texts that are exact str take C API paths here; anything else (a dict subclass, a mapping,
// a str subclass) goes through the same Python operations the plain version uses. Each Python
// step that may run user code or raise happens in its own statement, in the plain version's order.
#include <initializer_list>

#include "core/py_ops.hpp"
#include "trading/module_state.hpp"
#include "trading/names.hpp"
#include "trading/session.hpp"
#include "trading/session_values.hpp"

namespace zqkit::trading {

namespace {

using core::attr;
using core::call;
using core::call_method;
using core::checked;
using core::checked_status;
using core::compare;
using core::equal;
using core::get;
using core::InternedName;
using core::item;
using core::set_attr;
using core::set_item;
using core::stripped;
using core::truthy;

// ─── Python operations with exact-type fast paths ──────────────────────────────────────────────

// mapping[name] right after `mapping[name] = value`: an exact dict gives back that very value.
nb::object read_back(nb::handle mapping, const InternedName& name, nb::handle value) {
    if (PyDict_CheckExact(mapping.ptr())) return nb::borrow(value);
    return item(mapping, name);
}

// text[:1]
nb::object leading(nb::handle text) {
    if (PyUnicode_CheckExact(text.ptr())) return checked(PyUnicode_Substring(text.ptr(), 0, 1));
    nb::object one = checked(PyLong_FromLong(1));
    nb::object head = checked(PySlice_New(nullptr, one.ptr(), nullptr));
    return item(text, head);
}

// A dict literal: the values are computed by the caller, in the literal's order.
struct Entry {
    const InternedName& name;
    nb::handle value;
};

nb::object dict_of(std::initializer_list<Entry> entries) {
    nb::object made = checked(PyDict_New());
    for (const Entry& entry : entries)
        checked_status(PyDict_SetItem(made.ptr(), entry.name.ptr(), entry.value.ptr()));
    return made;
}

nb::object small_int(long value) {
    return checked(PyLong_FromLong(value));
}

// ─── _child ────────────────────────────────────────────────────────────────────────────────────

// "BUY" if row.get("Direction") == "0" else "SELL"
nb::handle direction_of(nb::handle row) {
    nb::object flag = get(row, name::direction_field);
    return equal(flag, name::text_0) ? name::buy : name::sell;
}

// order_offset(row.get("CombOffsetFlag") or row.get("OffsetFlag"))
nb::object offset_of(nb::handle row) {
    nb::object order_offset = global(name::order_offset);
    nb::object flag = get(row, name::comb_offset_flag_field);
    if (!truthy(flag)) flag = get(row, name::offset_flag_field);
    return call(order_offset, flag);
}

// finite(row.get("LimitPrice"))
nb::object limit_price_of(nb::handle row) {
    nb::object finite = global(name::finite);
    nb::object price = get(row, name::limit_price_field);
    return call(finite, price);
}

// timestamp(row.get("InsertDate", ""), row.get("InsertTime", ""))
nb::object insert_time_of(nb::handle row) {
    nb::object timestamp = global(name::timestamp);
    nb::object date = get(row, name::insert_date_field, name::empty);
    nb::object clock = get(row, name::insert_time_field, name::empty);
    return call(timestamp, date, clock);
}

// The reference key: (FrontID or the session's front, SessionID or the session's session,
// str(OrderRef or "")).
nb::object reference_key(nb::handle self, nb::handle row) {
    nb::object own_front = attr(self, name::front);
    nb::object front = get(row, name::front_id_field, own_front);
    nb::object own_session = attr(self, name::session);
    nb::object session = get(row, name::session_id_field, own_session);
    nb::object ref = core::str_of(get(row, name::order_ref_field, name::empty));
    return checked(PyTuple_Pack(3, front.ptr(), session.ptr(), ref.ptr()));
}

// The order record of an order first seen in a return, stored in `o`.
void add_order_record(nb::handle self, nb::handle row, nb::handle order_id, nb::handle system_id,
                      nb::handle symbol) {
    nb::handle direction = direction_of(row);
    nb::object offset = offset_of(row);
    nb::object limit_price = limit_price_of(row);
    nb::object insert_time = insert_time_of(row);
    nb::object zero = small_int(0);
    nb::object record = dict_of({{name::order_id, order_id},
                                 {name::order_sys_id, system_id},
                                 {name::symbol, symbol},
                                 {name::direction, direction},
                                 {name::offset, offset},
                                 {name::limit_price, limit_price},
                                 {name::volume_original, zero},
                                 {name::volume_traded, zero},
                                 {name::volume_left, zero},
                                 {name::status, name::status_pending},
                                 {name::status_msg, name::empty},
                                 {name::cancel_pending, Py_False},
                                 {name::cancel_error, Py_None},
                                 {name::insert_time, insert_time}});
    set_item(attr(self, name::o), order_id, record);
}

// self.o[order_id][name]
nb::object parent_field(nb::handle self, nb::handle order_id, const InternedName& name) {
    nb::object parent = item(attr(self, name::o), order_id);
    return item(parent, name);
}

// The native order record of an order first seen in a return, stored in `native_orders`.
void add_native_order(nb::handle self, nb::handle order_id, nb::handle reference, nb::handle raw,
                      nb::handle symbol) {
    nb::object direction = parent_field(self, order_id, name::direction);
    nb::object offset = parent_field(self, order_id, name::offset);
    nb::handle front = PyTuple_GET_ITEM(reference.ptr(), 0);
    nb::handle session = PyTuple_GET_ITEM(reference.ptr(), 1);
    nb::handle ref = PyTuple_GET_ITEM(reference.ptr(), 2);
    nb::object zero = small_int(0);
    nb::object native = dict_of({{name::order_id, order_id},
                                 {name::parent, order_id},
                                 {name::symbol, symbol},
                                 {name::direction, direction},
                                 {name::offset, offset},
                                 {name::exchange_order_id, raw},
                                 {name::close_type, name::unspecified},
                                 {name::volume_original, zero},
                                 {name::volume_traded, zero},
                                 {name::volume_left, zero},
                                 {name::status, name::status_pending},
                                 {name::is_confirmed, Py_False},
                                 {name::status_msg, name::empty},
                                 {name::cancel_pending, Py_False},
                                 {name::cancel_error, Py_None},
                                 {name::ref, ref},
                                 {name::front, front},
                                 {name::session, session},
                                 {name::cancel_request_id, Py_None},
                                 {name::pending_finish, Py_False},
                                 {name::expected_traded, zero},
                                 {name::finish_status, Py_None},
                                 {name::finish_msg, name::empty}});
    set_item(attr(self, name::native_orders), order_id, native);
}

// The id of the native order the reference and the OrderSysID name, None when neither is known.
// Both known but different: the counter contradicts the book.
nb::object known_order_id(nb::handle self, nb::handle reference, nb::handle system_id) {
    nb::object order_id = get(attr(self, name::ref_orders), reference);
    if (!truthy(system_id)) return order_id;
    nb::object known = get(attr(self, name::system_orders), system_id);
    if (truthy(order_id) && truthy(known) && compare(order_id, known, Py_NE))
        raise_buffer_error("同一个 CTP OrderSysID 关联到不同订单");
    return truthy(order_id) ? order_id : known;
}

// Indexes the native order under its OrderSysID; an order bound to another one is a
// contradiction.
void bind_system_id(nb::handle self, nb::handle order, nb::handle order_id, nb::handle system_id) {
    nb::object bound = stripped(item(order, name::exchange_order_id));
    if (truthy(bound) && compare(bound, system_id, Py_NE))
        raise_buffer_error("已有订单的 CTP OrderSysID 发生变化");
    set_item(attr(self, name::system_orders), system_id, order_id);
}

// ─── _order ────────────────────────────────────────────────────────────────────────────────────

enum class Status { alive, filled, cancelled, rejected };

// The status stored and the text it shows when the row gives none, in the order of Status.
struct StatusNames {
    const InternedName& status;
    const InternedName& text;
};

const StatusNames& names_of(Status status) {
    static const StatusNames table[] = {{name::alive, name::empty},
                                        {name::filled, name::fully_traded},
                                        {name::cancelled, name::text_cancelled},
                                        {name::rejected, name::text_rejected}};
    return table[static_cast<int>(status)];
}

// An order return of another trading day means the session no longer matches the counter.

// A query row is older than the pushed returns seen since the query was sent.
bool is_stale_query_row(nb::handle self, nb::handle order_id, nb::handle query_revision) {
    if (query_revision.is_none()) return false;
    nb::object zero = small_int(0);
    nb::object changed = get(attr(self, name::order_revisions), order_id, zero);
    return compare(changed, query_revision, Py_GT);
}

// dict(order)
nb::object copy_of(nb::handle order) {
    if (PyDict_CheckExact(order.ptr())) return checked(PyDict_Copy(order.ptr()));
    return checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), order.ptr()));
}

// OrderSubmitStatus "4": the insert was rejected. OrderStatus "0": all traded; "2", "4", "5":
// no longer queueing (part traded, none traded, cancelled).
Status status_of(nb::handle row, nb::handle submit) {
    if (equal(submit, name::text_4)) return Status::rejected;
    if (equal(item(row, name::order_status_field), name::text_0)) return Status::filled;
    if (core::is_one_of(item(row, name::order_status_field),
                        {name::text_2, name::text_4, name::text_5}))
        return Status::cancelled;
    return Status::alive;
}

// Finished statuses are final, except that a cancelled order may still turn out rejected; while
// a finish is held back only another finish is taken.
bool moves_backwards(nb::handle order, Status status, bool finished) {
    nb::object current = item(order, name::status);
    return (equal(current, name::filled) && status != Status::filled) ||
           (equal(current, name::rejected) && status != Status::rejected) ||
           (equal(current, name::cancelled) && status != Status::cancelled &&
            status != Status::rejected) ||
           (truthy(item(order, name::pending_finish)) && !finished);
}

// {"0": None, "3": "TODAY", "4": "HISTORY"}.get(flag, "UNSPECIFIED")
nb::object close_type_of(nb::handle flag) {
    static PyObject* by_flag = nullptr;  // kept for the life of the process
    if (by_flag == nullptr) {
        by_flag = dict_of({{name::text_0, Py_None},
                           {name::text_3, name::close_today},
                           {name::text_4, name::close_history}})
                      .release()
                      .ptr();
    }
    return get(by_flag, flag, name::unspecified);
}

// The status text: a rejected cancel (OrderSubmitStatus "5") keeps the order's text, otherwise
// the status's own.
nb::object new_status_text(nb::handle previous, nb::handle submit, Status status) {
    nb::object text = nb::borrow(name::empty.ptr());
    if (equal(submit, name::text_5) && status == Status::alive)
        text = item(previous, name::status_msg);
    if (!truthy(text)) text = nb::borrow(names_of(status).text.ptr());
    return text;
}

// The fields one return reports, stored in one step: order.update(...). Gives the volume left
// it stored.
nb::object apply_reported_fields(nb::handle order, nb::handle row, nb::handle close_type,
                                 nb::handle total, nb::handle text, nb::handle traded) {
    bool exact = PyDict_CheckExact(order.ptr());
    nb::object update = exact ? nb::object() : attr(order, name::update);
    nb::object exchange_order_id = get(row, name::order_sys_id_field, name::empty);
    nb::object volume_traded = item(order, name::volume_traded);
    nb::object volume_left = checked(PyNumber_Subtract(total.ptr(), volume_traded.ptr()));
    nb::object front = item(row, name::front_id_field);
    nb::object session = item(row, name::session_id_field);
    nb::object ref = item(row, name::order_ref_field);
    std::initializer_list<Entry> fields = {{name::exchange_order_id, exchange_order_id},
                                           {name::close_type, close_type},
                                           {name::volume_original, total},
                                           {name::volume_left, volume_left},
                                           {name::is_confirmed, Py_True},
                                           {name::status_msg, text},
                                           {name::front, front},
                                           {name::session, session},
                                           {name::ref, ref},
                                           {name::expected_traded, traded}};
    if (exact) {
        // What update() does with keyword arguments, without building their dict.
        for (const Entry& field : fields)
            checked_status(PyDict_SetItem(order.ptr(), field.name.ptr(), field.value.ptr()));
        return volume_left;
    }
    nb::object keywords = dict_of(fields);
    nb::object no_args = checked(PyTuple_New(0));
    checked(PyObject_Call(update.ptr(), no_args.ptr(), keywords.ptr()));
    return volume_left;
}

// A finish the trades do not yet account for is held back: the order stays "ALIVE" with its old
// text until the last trade arrives.
void hold_back_finish(nb::handle order, nb::handle previous, Status status, bool finished,
                      nb::handle text, nb::handle traded) {
    nb::object holding = nb::borrow(Py_False);
    if (finished) {
        nb::object volume_traded = item(order, name::volume_traded);
        holding = checked(PyObject_RichCompare(volume_traded.ptr(), traded.ptr(), Py_LT));
    }
    set_item(order, name::pending_finish, holding);
    if (truthy(read_back(order, name::pending_finish, holding))) {
        set_item(order, name::finish_status, names_of(status).status);
        set_item(order, name::finish_msg, text);
        set_item(order, name::status_msg, item(previous, name::status_msg));
    } else {
        set_item(order, name::finish_status, Py_None);
        set_item(order, name::finish_msg, name::empty);
    }
    bool held = truthy(read_back(order, name::pending_finish, holding));
    set_item(order, name::status, held ? name::alive : names_of(status).status);
}

// A finished order has no cancel outstanding; a rejected cancel of ours is recorded.
void settle_cancel(nb::handle order, nb::handle submit, bool finished) {
    if (finished) {
        set_item(order, name::cancel_pending, Py_False);
        set_item(order, name::cancel_error, Py_None);
        return;
    }
    // OrderSubmitStatus "5": the cancel was rejected.
    if (equal(submit, name::text_5) && truthy(item(order, name::cancel_pending)) &&
        !item(order, name::cancel_request_id).is_none()) {
        set_item(order, name::cancel_pending, Py_False);
        set_item(order, name::cancel_error, name::text_cancel_rejected);
    }
}

// An order placed elsewhere learns its price and insert time from the first return that has them.
void fill_in_parent(nb::handle self, nb::handle order, nb::handle row) {
    nb::object orders = attr(self, name::o);
    nb::object parent = item(orders, item(order, name::parent));
    if (!item(parent, name::limit_price).is_none()) return;
    set_item(parent, name::limit_price, limit_price_of(row));
    set_item(parent, name::insert_time, insert_time_of(row));
}

// A changed native order: a new revision, then frozen volumes, the user order, the account and
// the waiters.
void publish_change(nb::handle self, nb::handle order, nb::handle order_id) {
    nb::object one = small_int(1);
    nb::object revision = attr(self, name::revision);
    set_attr(self, name::revision, checked(PyNumber_InPlaceAdd(revision.ptr(), one.ptr())));
    nb::object current = attr(self, name::revision);
    set_item(attr(self, name::order_revisions), order_id, current);
    if (truthy(attr(self, name::position_ready))) {
        nb::object recompute = attr(self, name::_recompute_frozen);
        nb::object symbol = item(order, name::symbol);
        core::call_kw(recompute, symbol_keyword(), symbol);
    }
    call_method(self, name::_aggregate, order);
    call_method(self, name::_schedule_account);
    call_method(self, name::_touch);
}

// list(self.pending_trades.values()); None when nothing could match (an exact dict that is
// empty, or an empty exact str for the OrderSysID).
nb::object buffered_trades(nb::handle self, nb::handle system_id) {
    nb::object pending = attr(self, name::pending_trades);
    if (!PyDict_CheckExact(pending.ptr()))
        return checked(PySequence_List(
            checked(PyObject_CallMethodNoArgs(pending.ptr(), name::values.ptr())).ptr()));
    bool none_match =
        PyUnicode_CheckExact(system_id.ptr()) && PyUnicode_GET_LENGTH(system_id.ptr()) == 0;
    if (PyDict_GET_SIZE(pending.ptr()) == 0 || none_match) return nb::none();
    return checked(PyDict_Values(pending.ptr()));
}

// Trades that arrived before their order are applied once a return names their OrderSysID.
void release_buffered_trades(nb::handle self, nb::handle row) {
    nb::object system_id = stripped(get(row, name::order_sys_id_field, name::empty));
    nb::object trades = buffered_trades(self, system_id);
    if (trades.is_none()) return;
    Py_ssize_t count = PyList_GET_SIZE(trades.ptr());
    for (Py_ssize_t index = 0; index < count; ++index) {
        nb::handle trade = PyList_GET_ITEM(trades.ptr(), index);  // the list is ours alone
        if (!truthy(system_id)) continue;
        nb::object other = stripped(get(trade, name::order_sys_id_field, name::empty));
        if (!compare(other, system_id, Py_EQ)) continue;
        nb::object apply = attr(self, name::_trade);
        nb::object ready = attr(self, name::position_ready);
        core::call_kw(apply, update_position_keyword(), trade, ready);
    }
}

}  // namespace

// ─── the methods ───────────────────────────────────────────────────────────────────────────────

nb::object by_ref(nb::handle self, nb::handle ref) {
    nb::object ref_orders = attr(self, name::ref_orders);
    nb::object front = attr(self, name::front);
    nb::object session = attr(self, name::session);
    nb::object text = core::str_of(ref);
    nb::object reference = checked(PyTuple_Pack(3, front.ptr(), session.ptr(), text.ptr()));
    nb::object order_id = get(ref_orders, reference);
    if (order_id.is_none()) return nb::none();
    return get(attr(self, name::native_orders), order_id);
}

nb::object is_spec_order(nb::handle row) {
    nb::object flag = get(row, name::comb_hedge_flag_field);
    if (!truthy(flag)) return nb::borrow(Py_False);
    nb::object text = core::str_of(flag);
    if (PyUnicode_CheckExact(text.ptr()) && PyUnicode_GET_LENGTH(text.ptr()) > 0)
        return nb::bool_(PyUnicode_READ_CHAR(text.ptr(), 0) == '1');
    nb::object zero = small_int(0);
    nb::object first = item(text, zero);
    return checked(PyObject_RichCompare(first.ptr(), name::text_1.ptr(), Py_EQ));
}

nb::object is_spec_trade(nb::handle row) {
    nb::object flag = get(row, name::hedge_flag_field);
    return checked(PyObject_RichCompare(flag.ptr(), name::text_1.ptr(), Py_EQ));
}

nb::object child(nb::handle self, nb::handle row) {
    nb::object reference = reference_key(self, row);
    nb::object raw = get(row, name::order_sys_id_field, name::empty);
    nb::object system_id = stripped(raw);
    if (!truthy(system_id)) system_id = nb::none();
    nb::object order_id = known_order_id(self, reference, system_id);
    nb::object symbol = row_symbol(row);
    if (order_id.is_none()) {
        nb::object local_order_id = global(name::local_order_id);
        order_id = checked(PyObject_Call(local_order_id.ptr(), reference.ptr(), nullptr));
        add_order_record(self, row, order_id, system_id, symbol);
        add_native_order(self, order_id, reference, raw, symbol);
    }
    set_item(attr(self, name::ref_orders), reference, order_id);
    nb::object order = item(attr(self, name::native_orders), order_id);
    if (truthy(system_id)) bind_system_id(self, order, order_id, system_id);
    return order;
}

nb::object order(nb::handle self, nb::handle row, nb::handle query_revision) {
    if (other_trading_day(self, row)) raise_timeout("订单回报的交易日发生变化");
    nb::object native =
        checked(PyObject_CallMethodOneArg(self.ptr(), name::child.ptr(), row.ptr()));
    nb::object order_id = item(native, name::order_id);
    if (is_stale_query_row(self, order_id, query_revision)) return nb::none();
    nb::object previous = copy_of(native);
    nb::object submit = get(row, name::order_submit_status_field);
    Status status = status_of(row, submit);
    bool finished = status != Status::alive;
    if (moves_backwards(native, status, finished)) return nb::none();
    nb::object total = item(row, name::volume_total_original_field);
    nb::object zero = small_int(0);
    nb::object reported = get(row, name::volume_traded_field, zero);
    nb::object traded = core::larger(reported, item(native, name::expected_traded));
    if (status == Status::filled) traded = core::larger(total, traded);
    nb::object close_type = close_type_of(leading(item(row, name::comb_offset_flag_field)));
    nb::object text = new_status_text(previous, submit, status);
    nb::object volume_left = apply_reported_fields(native, row, close_type, total, text, traded);
    if (compare(read_back(native, name::volume_left, volume_left), zero, Py_LT))
        raise_buffer_error("成交数量超过订单原始数量");
    hold_back_finish(native, previous, status, finished, text, traded);
    settle_cancel(native, submit, finished);
    fill_in_parent(self, native, row);
    if (compare(native, previous, Py_NE)) publish_change(self, native, order_id);
    release_buffered_trades(self, row);
    return nb::none();
}

}  // namespace zqkit::trading
