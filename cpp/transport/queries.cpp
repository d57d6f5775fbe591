// Signed market queries: `Transport.get`.
#include <algorithm>

#include "core/py_ops.hpp"
#include "transport/coroutines.hpp"
#include "transport/errors.hpp"
#include "transport/failure_verdicts.hpp"
#include "transport/json_body.hpp"
#include "transport/module_state.hpp"
#include "transport/timing_policy.hpp"

namespace zqkit::transport {

namespace {

using namespace nb::literals;

// Raises the verdict of any answer but 200.
void check_status(nb::handle response) {
    nb::object status = response.attr("status");
    act_on_status(query_status_verdict(nb::cast<long>(status)), status);
}

// The answer must be {"ok": true, "d": ...}.
void check_body(nb::handle body) {
    bool valid = PyDict_Check(body.ptr()) && body.attr("get")("ok").is(Py_True) &&
                 core::contains(body, nb::str("d"));
    if (!valid) core::raise(zq_error(messages::query_answer_invalid));
}

Task<nb::object> read_answer(nb::object self, nb::object response, nb::object budget,
                             bool restoring) {
    check_status(response);
    nb::object body = co_await read_json_body(response, messages::query_answer_invalid);
    check_body(body);
    if (!restoring) budget.attr("success")();
    // A fatal stream error that arrived meanwhile wins over the answer.
    self.attr("raise_error")();
    co_return body["d"];
}

// One signed GET of `url` + `path`.
Task<nb::object> request_query(nb::object self, nb::object path, nb::object params,
                               nb::object budget, bool restoring) {
    nb::object connecting = self.attr("client")();
    nb::object session = co_await std::move(connecting);
    nb::object url = global("URL")(self.attr("url") + path);
    if (!params.is_none()) url = url.attr("with_query")(params);
    nb::object headers = global("_signature_headers")("GET", url);
    nb::object request =
        session.attr("get")(url, "headers"_a = headers, "allow_redirects"_a = false);
    nb::object result;
    co_await core::async_with(request, [&](nb::object response) -> Task<> {
        result = co_await read_answer(self, response, budget, restoring);
    });
    co_return result;
}

// Retries transient faults while `budget` allows, within the time the budget has left.
// While restoring, a transient fault aborts instead: the whole connection is rebuilt.
Task<nb::object> query_within_budget(nb::object self, nb::object path, nb::object params,
                                     nb::object budget, bool restoring) {
    double elapsed = nb::cast<double>(global("time").attr("monotonic")()) -
                     nb::cast<double>(budget.attr("started"));
    double left = std::max(0.0, nb::cast<double>(budget.attr("seconds")) - elapsed);
    nb::object limit = global("asyncio").attr("timeout")(left);
    nb::object result;
    co_await core::async_with(limit, [&](nb::object deadline) -> Task<> {
        while (true) {
            budget.attr("check")();
            try {
                result = co_await request_query(self, path, params, budget, restoring);
                co_return;
            } catch (const nb::python_error& error) {
                if (!is_transient(error, deadline)) throw;
                if (restoring) core::raise_from_none(retry_market_error());
            }
            budget.attr("fail")();
            nb::object pause = backoff_delay(budget.attr("failures"));
            nb::object sleeping = global("asyncio").attr("sleep")(pause);
            co_await std::move(sleeping);
        }
    });
    co_return result;
}

// The connection's own budget while restoring, else a fresh one for this query.
nb::object query_budget(nb::handle self, bool restoring) {
    if (restoring) return self.attr("recovery");
    return global("Recovery")(messages::query_budget, timing::query_attempts,
                              timing::query_seconds);
}

}  // namespace

Task<nb::object> get(nb::object self, nb::object path, nb::object params) {
    nb::object verifying = self.attr("verify_account")();
    co_await std::move(verifying);
    nb::object current = global("asyncio").attr("current_task")();
    bool restoring = current.is(self.attr("bootstrap_task"));
    nb::object budget = query_budget(self, restoring);
    budget.attr("begin")();
    try {
        co_return co_await query_within_budget(self, path, params, budget, restoring);
    } catch (...) {
        nb::object error = core::exception_object(std::current_exception());
        if (!core::is_instance(error, PyExc_Exception)) throw;
        Verdict verdict = query_fault_verdict(describe_fault(error));
        if (verdict.message == nullptr) throw;
        core::raise_from_none(zq_error(verdict.message));
    }
}

}  // namespace zqkit::transport
