// Requests and their common fields, the login phases' requests, the failure of a query and the
// scheduler that submits one query at a time and watches every time-out.
#include <vector>

#include "core/py_errors.hpp"
#include "core/py_ops.hpp"
#include "trading/module_state.hpp"
#include "trading/names.hpp"
#include "trading/session.hpp"
#include "trading/session_values.hpp"

namespace zqkit::trading {

namespace {

// Seconds between two query submissions, and between two account refreshes when ready.
constexpr int query_gap_seconds = 1;
constexpr int account_refresh_seconds = 5;

// self.phase == value
bool phase_is(nb::handle self, const char* value) {
    return self.attr("phase").equal(nb::str(value));
}

// The budget a retryable query failure counts against: account queries once ready, the
// connection's while logging in.
nb::object query_budget(nb::handle self) {
    return self.attr(phase_is(self, "ready") ? "query_recovery" : "recovery");
}

// `"CTP " + label + middle + str(code) + tail`, with Python's + (a label that is no str raises).
nb::object ctp_message(nb::handle label, const char* middle, nb::handle code, const char* tail) {
    return nb::str("CTP ") + label + nb::str(middle) + nb::str(code) + nb::str(tail);
}

// now - self.<since> <op> limit, with the attribute read after the subtraction's left operand.
nb::object elapsed(nb::handle self, nb::handle now, const char* since) {
    return now - self.attr(since);
}

bool phase_overdue(nb::handle self, nb::handle now) {
    nb::object waited = elapsed(self, now, "phase_time");
    return waited > self.attr("timeout");
}

// Step one: a ready session with queries to make spends the account-query budget.
void check_query_budget(nb::handle self) {
    if (!phase_is(self, "ready")) return;
    if (core::truthy(self.attr("inflight")) || core::truthy(self.attr("pending")))
        self.attr("query_recovery").attr("check")();
}

// The query in flight got no answer row for too long: when ready it is dropped and queued again,
// during the login-time synchronisation the session is rebuilt.
void watch_inflight(nb::handle self, nb::handle now) {
    nb::object query = self.attr("inflight");
    nb::object waited = now - query["progress"];
    if (!(waited > self.attr("timeout"))) return;
    if (phase_is(self, "ready")) {
        self.attr("query_recovery").attr("fail")();
        self.attr("pending").attr("add")(query["kind"]);
        nb::setattr(self, "inflight", nb::none());
        return;
    }
    nb::object kind = query["kind"];
    nb::object label = global("QUERY_LABELS").attr("get")(kind, kind);
    raise_timeout(nb::str("CTP ") + label + nb::str("查询超时且无进展"));
}

// The next query to submit: the current synchronisation step, else the account when queued, else
// nothing (an invalid object).
nb::object next_query_kind(nb::handle self) {
    if (phase_is(self, "sync")) return global("SYNC_STEPS")[self.attr("sync_index")];
    if (core::truthy(self.attr("pending"))) return nb::str("account");
    return {};
}

void submit_query(nb::handle self, nb::handle now, nb::handle kind) {
    nb::dict fields;
    if (kind.equal(nb::str("account"))) fields["CurrencyID"] = "CNY";
    nb::object submit = self.attr("_request");
    std::vector<nb::object> answer = core::unpack(submit(global("QUERY")[kind], fields), 2);
    nb::handle request_id = answer[0];
    nb::handle code = answer[1];
    nb::setattr(self, "last_query", now);
    if (core::is_one_of(code, {nb::int_(-2), nb::int_(-3)})) {
        // The binding's own flow control: try again no sooner than two seconds later.
        query_budget(self).attr("fail")();
        nb::setattr(self, "last_query", now + nb::int_(1));
        return;
    }
    if (code.not_equal(nb::int_(0))) {
        nb::object label = global("QUERY_LABELS")[kind];
        raise_timeout(ctp_message(label, "查询提交失败（错误码：", code, "）"));
    }
    self.attr("pending").attr("discard")(kind);
    nb::setattr(self, "phase_time", now);
    nb::dict query;
    query["id"] = request_id;
    query["kind"] = kind;
    query["rows"] = nb::list();
    query["progress"] = now;
    query["revision"] = self.attr("revision");
    nb::setattr(self, "inflight", query);
}

}  // namespace

nb::object request(nb::handle self, nb::handle method, nb::handle fields) {
    // Every order goes through here: interned names and the C API on exact dicts.
    core::set_attr(self, name::request_id,
                   core::add_in_place(core::attr(self, name::request_id), nb::int_(1)));
    nb::object data = core::checked(PyDict_New());
    core::set_item(data, name::broker_id_field,
                   core::attr(core::attr(self, name::config), name::broker_id));
    core::set_item(data, name::investor_id_field,
                   core::attr(core::attr(self, name::config), name::user_id));
    core::set_item(data, name::user_id_field,
                   core::attr(core::attr(self, name::config), name::user_id));
    if (core::truthy(fields)) {
        if (PyDict_CheckExact(fields.ptr()))
            core::checked_status(PyDict_Update(data.ptr(), fields.ptr()));
        else
            core::call_method(data, name::update, fields);
    }
    nb::object request_id = core::attr(self, name::request_id);
    nb::object submit = core::attr(core::attr(self, name::native), name::request);
    nb::object code = core::call(submit, method, data, core::attr(self, name::request_id));
    return core::checked(PyTuple_Pack(2, request_id.ptr(), code.ptr()));
}

void phase_request(nb::handle self, nb::handle phase, nb::handle method, nb::handle data) {
    nb::setattr(self, "phase", phase);
    nb::setattr(self, "phase_time", monotonic());
    nb::setattr(self, "phase_data", nb::dict());
    std::vector<nb::object> answer = core::unpack(self.attr("_request")(method, data), 2);
    nb::setattr(self, "phase_id", answer[0]);
    nb::handle code = answer[1];
    // The binding could not send it: reconnect. Any other refusal is final.
    if (core::is_one_of(code, {nb::int_(-1), nb::int_(-2), nb::int_(-3)}))
        core::raise(PyExc_TimeoutError);
    if (code.not_equal(nb::int_(0))) {
        nb::object label = global("PHASE_LABELS").attr("get")(phase, phase);
        core::raise(global("ZqError")(ctp_message(label, "请求失败（错误码：", code, "）")));
    }
}

void schedule_account(nb::handle self) {
    nb::object phase = core::checked(PyObject_GetAttr(self.ptr(), name::phase.ptr()));
    if (!core::checked_status(PyObject_RichCompareBool(phase.ptr(), name::ready.ptr(), Py_EQ)))
        return;
    nb::object pending = core::checked(PyObject_GetAttr(self.ptr(), name::pending.ptr()));
    if (PySet_CheckExact(pending.ptr())) {
        core::checked_status(PySet_Add(pending.ptr(), name::account.ptr()));
        return;
    }
    core::checked(PyObject_CallMethodOneArg(pending.ptr(), name::add.ptr(), name::account.ptr()));
}

void query_error(nb::handle self, nb::handle code, nb::handle message) {
    nb::object query = self.attr("inflight");
    nb::setattr(self, "inflight", nb::none());
    nb::object kind = query["kind"];
    if (is_busy_code(code)) {
        // The counter is busy: the same query goes again after the pacing gap.
        query_budget(self).attr("fail")();
        nb::setattr(self, "last_query", monotonic() + nb::int_(1));
        if (phase_is(self, "ready")) self.attr("pending").attr("add")(kind);
        return;
    }
    nb::object label = global("QUERY_LABELS").attr("get")(kind, kind);
    nb::object message_text = ctp_message(label, "查询失败（错误码：", code, "）：") + message;
    core::raise(global("ZqError")(message_text));
}

void tick(nb::handle self, nb::handle now) {
    check_query_budget(self);
    if (phase_is(self, "connecting")) {
        if (phase_overdue(self, now)) core::raise(PyExc_TimeoutError);
        return;
    }
    nb::object phase = self.attr("phase");
    if (!core::is_one_of(phase, {nb::str("ready"), nb::str("sync")})) {
        if (phase_overdue(self, now)) raise_timeout(nb::str("CTP 连接或登录超时"));
        return;
    }
    if (core::truthy(self.attr("inflight"))) {
        watch_inflight(self, now);
        return;
    }
    if (phase_is(self, "sync") && phase_overdue(self, now))
        raise_timeout(nb::str("CTP 登录同步超时且无进展"));
    if (phase_is(self, "ready") &&
        elapsed(self, now, "last_account_refresh") >= nb::int_(account_refresh_seconds))
        self.attr("pending").attr("add")("account");
    if (elapsed(self, now, "last_query") < nb::int_(query_gap_seconds)) return;
    nb::object kind = next_query_kind(self);
    if (kind.is_valid()) submit_query(self, now, kind);
}

}  // namespace zqkit::trading
