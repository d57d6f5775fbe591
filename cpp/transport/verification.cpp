// The shared HTTP session and account token verification.
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

// The server's Retry-After, clamped to 0..cap; absent or not a number, the default.
double retry_after_seconds(nb::handle response) {
    nb::object header = response.attr("headers").attr("get")("Retry-After");
    if (header.is_none()) return timing::retry_after_default_seconds;
    PyObject* number = PyNumber_Float(header.ptr());
    if (number == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
        PyErr_Clear();
        return timing::retry_after_default_seconds;
    }
    double seconds = PyFloat_AS_DOUBLE(number);
    Py_DECREF(number);
    if (!(seconds > 0)) return 0.0;
    return seconds > timing::retry_after_cap_seconds ? timing::retry_after_cap_seconds : seconds;
}

// Raises the verdict of any answer but 200.
void check_status(nb::handle response, double* retry_after) {
    nb::object status = response.attr("status");
    Verdict verdict = verification_status_verdict(nb::cast<long>(status));
    if (verdict.waits_retry_after) *retry_after = retry_after_seconds(response);
    act_on_status(verdict, status);
}

// The answer must be {"ok": true, "d": {}}.
void check_body(nb::handle body) {
    bool valid = PyDict_Check(body.ptr());
    if (valid) {
        nb::object ok = body.attr("get")("ok");
        nb::object data = body.attr("get")("d");
        valid = ok.is(Py_True) && !data.not_equal(nb::dict());
    }
    if (!valid) core::raise(zq_error(messages::verification_answer_invalid));
}

Task<> read_answer(nb::object response, double* retry_after) {
    check_status(response, retry_after);
    nb::object body = co_await read_json_body(response, messages::verification_answer_invalid);
    check_body(body);
}

// One POST to the verification service; returns once the token is verified.
Task<> request_verification(nb::object self, double* retry_after) {
    nb::object connecting = self.attr("client")();
    nb::object session = co_await std::move(connecting);
    nb::object started = global("time").attr("monotonic")();
    nb::object address = self.attr("auth_url") + nb::str("/api/token/verify");
    nb::dict headers;
    headers["Authorization"] = nb::str("Bearer ") + self.attr("token");
    nb::object request =
        session.attr("post")(address, "headers"_a = headers, "allow_redirects"_a = false);
    co_await core::async_with(request, [&](nb::object response) -> Task<> {
        co_await read_answer(response, retry_after);
    });
    nb::object valid_until = started + nb::int_(timing::verification_valid_seconds);
    nb::setattr(self, "_verified_until", valid_until);
}

// Retries transient faults under `budget`, all within the verification's time limit.
Task<> verify_within_budget(nb::object self, nb::object budget) {
    nb::object limit = global("asyncio").attr("timeout")(timing::verification_seconds);
    co_await core::async_with(limit, [&](nb::object deadline) -> Task<> {
        while (true) {
            budget.attr("check")();
            double retry_after = 0.0;
            try {
                co_await request_verification(self, &retry_after);
                co_return;
            } catch (const nb::python_error& error) {
                if (!is_transient(error, deadline)) throw;
            }
            budget.attr("fail")();
            nb::object backoff = backoff_delay(budget.attr("failures"));
            nb::object pause = retry_after >= nb::cast<double>(backoff)
                                   ? nb::object(nb::float_(retry_after))
                                   : backoff;
            nb::object sleeping = global("asyncio").attr("sleep")(pause);
            co_await std::move(sleeping);
        }
    });
}

// Ends verification for good: the stream becomes fatal with `error` (a ZqError).
Task<> fail_verification(nb::object self, nb::object error) {
    nb::setattr(self, "fatal_error", error);
    nb::setattr(self, "_verified_until", nb::int_(0));
    nb::setattr(self, "ready", nb::bool_(false));
    self.attr("incoming").attr("clear")();
    self.attr("acked").attr("clear")();
    self.attr("changed").attr("set")();
    self.attr("ack_changed").attr("set")();
    nb::object ws = self.attr("ws");
    if (!ws.is_none()) {
        nb::object closing = ws.attr("close")();
        try {
            co_await std::move(closing);
        } catch (const nb::python_error& ignored) {
            if (!ignored.matches(PyExc_Exception)) throw;
        }
    }
    core::raise_from_none(error);
}

Task<> verify_locked(nb::object self) {
    // A caller that queued behind a verification that failed for good must not send the
    // rejected token again.
    self.attr("raise_error")();
    nb::object now = global("time").attr("monotonic")();
    if (now < self.attr("_verified_until")) co_return;
    nb::object budget = global("Recovery")(
        messages::verification_budget, timing::verification_attempts, timing::verification_seconds);
    budget.attr("begin")();
    std::exception_ptr failure;
    try {
        co_await verify_within_budget(self, budget);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) co_return;
    nb::object error = core::exception_object(failure);
    if (!core::is_instance(error, PyExc_Exception)) std::rethrow_exception(failure);
    Verdict verdict = verification_fault_verdict(describe_fault(error));
    if (verdict.message != nullptr) error = zq_error(verdict.message);
    co_await fail_verification(self, error);
}

}  // namespace

Task<nb::object> client(nb::object self) {
    if (self.attr("session").is_none()) {
        nb::object aiohttp = global("aiohttp");
        nb::object timeout = aiohttp.attr("ClientTimeout")("total"_a = self.attr("timeout"));
        nb::object session =
            aiohttp.attr("ClientSession")("timeout"_a = timeout, "trust_env"_a = true);
        nb::setattr(self, "session", session);
    }
    co_return self.attr("session");
}

Task<> verify_account(nb::object self) {
    self.attr("raise_error")();
    nb::object lock = self.attr("_auth_lock");
    co_await core::async_with(lock, [&](nb::object) -> Task<> { co_await verify_locked(self); });
}

}  // namespace zqkit::transport
