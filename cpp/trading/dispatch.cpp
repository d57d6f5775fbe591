// `event`: everything the CTP front says enters the session here, in arrival order.
#include "core/py_errors.hpp"
#include "core/py_ops.hpp"
#include "trading/module_state.hpp"
#include "trading/names.hpp"
#include "trading/session.hpp"
#include "trading/session_values.hpp"

namespace zqkit::trading {

namespace {

using core::attr;
using core::call_method;
using core::get;
using core::is_one_of;
using core::item;
using core::set_attr;
using core::set_item;
using core::truthy;

// The fields common to every event, read in this order.
struct EventFields {
    nb::object name;
    nb::object data;  // `event.get("data") or {}`
    nb::object rid;
    nb::object last;
    nb::object error;  // empty when falsy: the `{}` standing in for it is made only when needed
    nb::object code;
    nb::object message;

    nb::object error_or_empty() const { return error.is_valid() ? error : nb::dict(); }
};

EventFields extract(nb::handle event) {
    EventFields fields;
    fields.name = item(event, name::event_name);
    nb::object data = get(event, name::data);
    if (truthy(data)) {
        fields.data = std::move(data);
    } else {
        fields.data = nb::dict();
    }
    fields.rid = get(event, name::request_id, nb::int_(0));
    fields.last = get(event, name::last, Py_True);
    nb::object error = get(event, name::error);
    if (truthy(error)) {
        fields.code = get(error, name::error_id_field, nb::int_(0));
        fields.message = get(error, name::error_msg_field, name::empty);
        fields.error = std::move(error);
    } else {
        fields.code = nb::int_(0);
        fields.message = nb::borrow(name::empty);
    }
    return fields;
}

// The first native order record whose `get(key)` equals `rid`, or None.
nb::object first_order_with(nb::handle self, nb::handle key, nb::handle rid) {
    nb::object orders = core::iterate(call_method(attr(self, name::native_orders), name::values));
    while (nb::object order = core::next(orders)) {
        if (core::equal(get(order, key), rid)) return order;
    }
    return nb::none();
}

// ---- connection and login ----

void front_connected(nb::handle self) {
    call_method(self, name::_clear_cache, name::status_syncing);
    nb::object phase_request = attr(self, name::_phase_request);
    nb::dict fields;
    set_item(fields, name::app_id_field, attr(attr(self, name::config), name::app_id));
    set_item(fields, name::auth_code_field, attr(attr(self, name::config), name::auth_code));
    core::call(phase_request, name::authenticate, name::authenticate_request, fields);
}

void front_disconnected(nb::handle self) {
    set_attr(self, name::phase, name::connecting);
    set_attr(self, name::phase_time, monotonic());
    call_method(self, name::_clear_cache, name::status_disconnected);
    call_method(attr(self, name::recovery), name::fail);
}

[[noreturn]] void login_refused(nb::handle self, nb::handle code, nb::handle message) {
    if (is_busy_code(code)) core::raise(PyExc_TimeoutError);
    nb::object label =
        get(global(name::phase_labels), attr(self, name::phase), attr(self, name::phase));
    nb::object error_type = global(name::zq_error);
    core::raise(error_type(core::concat({nb::str("CTP "), label, nb::str("失败（错误码："),
                                         nb::str(code), nb::str("）："), message})));
}

// int(answer.get("MaxOrderRef", "0").strip() or 0)
nb::object max_order_ref(nb::handle answer) {
    nb::object text =
        call_method(get(answer, name::max_order_ref_field, name::text_0), name::strip);
    if (!truthy(text)) text = nb::int_(0);
    return core::checked(PyNumber_Long(text.ptr()));
}

void authenticated(nb::handle self) {
    nb::object phase_request = attr(self, name::_phase_request);
    nb::dict fields;
    set_item(fields, name::password_field, attr(attr(self, name::config), name::password));
    core::call(phase_request, name::login, name::user_login_request, fields);
}

void logged_in(nb::handle self, nb::handle answer) {
    set_attr(self, name::day, item(answer, name::trading_day_field));
    nb::object day = attr(self, name::day);
    set_item(attr(self, name::a), name::trading_day, day);
    set_attr(self, name::front, item(answer, name::front_id_field));
    set_attr(self, name::session, item(answer, name::session_id_field));
    set_attr(self, name::order_ref, max_order_ref(answer));
    call_method(self, name::_phase_request, name::settlement, name::settlement_request);
    call_method(self, name::_touch);
}

void settlement_confirmed(nb::handle self) {
    set_attr(self, name::phase, name::sync);
    set_attr(self, name::phase_time, monotonic());
    set_attr(self, name::sync_index, nb::int_(0));
}

// The answer to the login step in progress; an answer to an earlier attempt is stale.
void login_answer(nb::handle self, const EventFields& fields) {
    if (core::not_equal(fields.rid, attr(self, name::phase_id))) return;
    if (truthy(fields.code)) login_refused(self, fields.code, fields.message);
    call_method(attr(self, name::phase_data), name::update, fields.data);
    if (!truthy(fields.last)) return;
    nb::object answer = attr(self, name::phase_data);
    if (core::equal(fields.name, name::rsp_authenticate)) {
        authenticated(self);
    } else if (core::equal(fields.name, name::rsp_user_login)) {
        logged_in(self, answer);
    } else {
        settlement_confirmed(self);
    }
}

// ---- errors without a natural owner ----

void redispatch(nb::handle self, nb::handle event_name, const EventFields& fields) {
    nb::dict event;
    set_item(event, name::event_name, event_name);
    set_item(event, name::request_id, fields.rid);
    set_item(event, name::error, fields.error_or_empty());
    call_method(self, name::event, event);
}

// An RspError belongs to an order's insert or cancel, the query in flight or the login step.
void route_error(nb::handle self, const EventFields& fields) {
    nb::object orders = core::iterate(call_method(attr(self, name::native_orders), name::values));
    while (nb::object order = core::next(orders)) {
        if (truthy(fields.rid) && core::equal(get(order, name::request_id), fields.rid)) {
            redispatch(self, name::rsp_order_insert, fields);
            return;
        }
        if (truthy(fields.rid) && core::equal(get(order, name::cancel_request_id), fields.rid)) {
            redispatch(self, name::rsp_order_action, fields);
            return;
        }
    }
    if (truthy(attr(self, name::inflight)) &&
        core::equal(item(attr(self, name::inflight), name::id), fields.rid)) {
        call_method(self, name::_query_error, fields.code, fields.message);
        return;
    }
    if (core::equal(fields.rid, attr(self, name::phase_id)) && truthy(fields.code)) {
        nb::object error_type = global(name::zq_error);
        core::raise(
            error_type(core::concat({nb::str("CTP 会话错误（错误码："), nb::str(fields.code),
                                     nb::str("）："), fields.message})));
    }
    if (truthy(fields.code)) {
        nb::object message = core::concat({nb::str("收到无法归属请求的 CTP 错误（错误码："),
                                           nb::str(fields.code), nb::str("）")});
        raise_timeout(message);
    }
}

// ---- query answers ----

// One row of the query in flight; its last row completes it.
void query_answer(nb::handle self, const EventFields& fields) {
    nb::object query = attr(self, name::inflight);
    if (!truthy(query) || core::not_equal(fields.rid, item(query, name::id))) return;
    set_item(query, name::progress, monotonic());
    if (truthy(fields.code)) {
        call_method(self, name::_query_error, fields.code, fields.message);
        return;
    }
    if (truthy(fields.data)) core::append(item(query, name::rows), fields.data);
    if (!truthy(fields.last)) return;
    set_attr(self, name::inflight, nb::none());
    call_method(self, name::_complete, query);
}

// ---- pushed returns ----

bool in_sync_or_ready(nb::handle self) {
    return is_one_of(attr(self, name::phase), {name::sync, name::ready});
}

void pushed_order(nb::handle self, nb::handle data) {
    if (truthy(call_method(self, name::_is_spec_order, data)))
        call_method(self, name::_order, data);
}

// Until the position baseline stands, trades are only held back for its check.
void pushed_trade(nb::handle self, nb::handle data) {
    if (!truthy(call_method(self, name::_is_spec_trade, data))) return;
    nb::object key = call_method(self, name::_trade_key, data);
    if (truthy(attr(self, name::position_ready))) {
        core::call_method_kw(self, name::_trade, update_position_keyword(), data, Py_True);
        return;
    }
    if (core::contains(attr(self, name::live_trade_buffer), key)) return;
    if (core::size_of(attr(self, name::live_trade_buffer)) > 32767) {
        raise_buffer_error("登录期间的成交回报暂存队列已满");
    }
    set_item(attr(self, name::live_trade_buffer), key, data);
}

// ---- insert and cancel rejections ----

void mark_rejected(nb::handle order) {
    nb::object update = PyDict_CheckExact(order.ptr()) ? nb::object() : attr(order, name::update);
    nb::dict changes;
    set_item(changes, name::status, name::rejected);
    set_item(changes, name::is_confirmed, Py_True);
    set_item(changes, name::status_msg, nb::str("报单被拒绝"));
    set_item(changes, name::pending_finish, Py_False);
    set_item(changes, name::expected_traded, item(order, name::volume_traded));
    set_item(changes, name::cancel_pending, Py_False);
    set_item(changes, name::cancel_error, Py_None);
    if (update.is_valid()) {
        core::checked(PyObject_Call(update.ptr(), nb::tuple().ptr(), changes.ptr()));
    } else {
        core::checked_status(PyDict_Update(order.ptr(), changes.ptr()));
    }
}

void insert_rejected(nb::handle self, const EventFields& fields) {
    nb::object order = call_method(self, name::_by_ref, get(fields.data, name::order_ref_field));
    if (order.is_none() && truthy(fields.rid))
        order = first_order_with(self, name::request_id, fields.rid);
    if (!truthy(order)) return;
    mark_rejected(order);
    core::call_method_kw(self, name::_recompute_frozen, symbol_keyword(),
                         item(order, name::symbol));
    call_method(self, name::_aggregate, order);
    call_method(self, name::_schedule_account);
    call_method(self, name::_touch);
}

// The order a cancel rejection names: by exchange order id, cancel request or order reference.
nb::object cancelled_order(nb::handle self, const EventFields& fields) {
    nb::object system_id =
        call_method(get(fields.data, name::order_sys_id_field, name::empty), name::strip);
    nb::object order = nb::none();
    if (truthy(system_id)) {
        nb::object orders = attr(self, name::native_orders);
        order = get(orders, get(attr(self, name::system_orders), system_id));
    }
    if (order.is_none() && truthy(fields.rid))
        order = first_order_with(self, name::cancel_request_id, fields.rid);
    if (order.is_none() && truthy(get(fields.data, name::order_ref_field))) {
        nb::object front = get(fields.data, name::front_id_field);
        nb::object session = get(fields.data, name::session_id_field);
        nb::object key =
            nb::make_tuple(front, session, nb::str(item(fields.data, name::order_ref_field)));
        nb::object orders = attr(self, name::native_orders);
        order = get(orders, get(attr(self, name::ref_orders), key));
    }
    return order;
}

void cancel_rejected(nb::handle self, const EventFields& fields) {
    nb::object order = cancelled_order(self, fields);
    if (!truthy(order) ||
        (truthy(fields.rid) && core::not_equal(get(order, name::cancel_request_id), fields.rid)))
        return;
    if (truthy(item(order, name::cancel_pending)) &&
        !get(order, name::cancel_request_id).is_none()) {
        set_item(order, name::cancel_pending, Py_False);
        set_item(order, name::cancel_error, nb::str("撤单被拒绝"));
        call_method(self, name::_aggregate, order);
        call_method(self, name::_touch);
    }
}

}  // namespace

void event(nb::handle self, nb::handle event) {
    EventFields fields = extract(event);
    nb::handle event_name = fields.name;
    if (core::equal(event_name, name::front_connected)) {
        front_connected(self);
    } else if (core::equal(event_name, name::front_disconnected)) {
        front_disconnected(self);
    } else if (is_one_of(event_name, {name::rsp_authenticate, name::rsp_user_login,
                                      name::rsp_settlement_info_confirm})) {
        login_answer(self, fields);
    } else if (core::equal(event_name, name::rsp_error)) {
        route_error(self, fields);
    } else if (core::starts_with(event_name, name::rsp_qry)) {
        query_answer(self, fields);
    } else if (core::equal(event_name, name::rtn_order) && in_sync_or_ready(self)) {
        pushed_order(self, fields.data);
    } else if (core::equal(event_name, name::rtn_trade) && in_sync_or_ready(self)) {
        pushed_trade(self, fields.data);
    } else if (is_one_of(event_name, {name::rsp_order_insert, name::err_rtn_order_insert}) &&
               truthy(fields.code)) {
        insert_rejected(self, fields);
    } else if (is_one_of(event_name, {name::rsp_order_action, name::err_rtn_order_action}) &&
               truthy(fields.code)) {
        cancel_rejected(self, fields);
    }
}

}  // namespace zqkit::trading
