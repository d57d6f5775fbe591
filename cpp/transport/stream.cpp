// The market WebSocket: the frame reader, the readiness guard, the connection loop and close.
#include <string_view>

#include "core/py_ops.hpp"
#include "transport/coroutines.hpp"
#include "transport/errors.hpp"
#include "transport/failure_verdicts.hpp"
#include "transport/frames.hpp"
#include "transport/module_state.hpp"
#include "transport/timing_policy.hpp"

namespace zqkit::transport {

namespace {

using namespace nb::literals;

void set_fatal(nb::handle self, nb::handle error) {
    nb::setattr(self, "fatal_error", error);
    self.attr("changed").attr("set")();
    self.attr("ack_changed").attr("set")();
}

// ---- connecting ----

// Opens the signed WebSocket within what is left of the recovery budget, at most `timeout`.
Task<> open_websocket(nb::object self) {
    nb::object verifying = self.attr("verify_account")();
    co_await std::move(verifying);
    nb::object recovery = self.attr("recovery");
    recovery.attr("check")();
    nb::object connecting = self.attr("client")();
    nb::object session = co_await std::move(connecting);
    nb::object elapsed = global("time").attr("monotonic")() - recovery.attr("started");
    nb::object left = recovery.attr("seconds") - elapsed;
    nb::object timeout = self.attr("timeout");
    nb::object limit = timeout < left ? timeout : left;
    nb::object within = global("asyncio").attr("timeout")(limit);
    co_await core::async_with(within, [&](nb::object) -> Task<> {
        nb::object url = global("URL")(self.attr("ws_url") + nb::str("/"));
        nb::object headers = global("_signature_headers")("GET", url);
        nb::object opening = session.attr("ws_connect")(
            url, "heartbeat"_a = timing::heartbeat_seconds, "headers"_a = headers);
        nb::object ws = co_await std::move(opening);
        nb::setattr(self, "ws", ws);
    });
}

// A new connection: new generation, nothing acknowledged or pending yet.
void begin_connection(nb::handle self) {
    nb::setattr(self, "generation", self.attr("generation") + nb::int_(1));
    self.attr("acked").attr("clear")();
    self.attr("incoming").attr("clear")();
    nb::setattr(self, "ready", nb::bool_(false));
    nb::setattr(self, "_connection_announced", nb::bool_(false));
    nb::setattr(self, "_sent", nb::set());
    self.attr("ack_changed").attr("set")();
}

// reader, sender, bootstrap and guard, in this order.
void start_children(nb::handle self, nb::list children) {
    nb::object create_task = global("asyncio").attr("create_task");
    for (const char* method : {"receive", "send_subscriptions", "bootstrap", "_guard_ready"}) {
        nb::object task = create_task(self.attr(method)());
        children.append(task);
        if (std::string_view(method) == "bootstrap") nb::setattr(self, "bootstrap_task", task);
    }
}

// Raises the error of a finished task; a ZqError wins over any other failure.
void raise_selected_error(nb::handle done) {
    nb::object zq_error_class = global("ZqError");
    for (nb::handle task : done) {
        if (core::truthy(task.attr("cancelled")())) continue;
        if (core::is_instance(task.attr("exception")(), zq_error_class)) task.attr("result")();
    }
    for (nb::handle task : done) task.attr("result")();
}

Task<> wait_first(nb::object tasks) {
    nb::object asyncio = global("asyncio");
    nb::object waiting =
        asyncio.attr("wait")(tasks, "return_when"_a = asyncio.attr("FIRST_COMPLETED"));
    nb::object finished = co_await std::move(waiting);
    raise_selected_error(finished[0]);
}

// ---- ending a connection ----

// Whether the failure of a connection ends the stream for good; records the fatal error.
bool is_fatal(nb::handle self, nb::handle error) {
    Verdict verdict = stream_fault_verdict(describe_fault(error));
    if (verdict.action == Action::give_up) {
        nb::object fatal = nb::borrow(error);
        if (verdict.message != nullptr) {
            fatal = zq_error(verdict.message);
            PyException_SetCause(fatal.ptr(), error.inc_ref().ptr());
        }
        set_fatal(self, fatal);
        return true;
    }
    if (!self.attr("fatal_error").is_none()) return true;
    if (core::is_instance(error, global("aiohttp").attr("WSServerHandshakeError"))) {
        nb::object status = error.attr("status");
        Verdict refusal = handshake_status_verdict(nb::cast<long>(status));
        if (refusal.action == Action::give_up) {
            set_fatal(self, refusal_error(refusal, status));
            return true;
        }
    }
    try {
        self.attr("recovery").attr("fail")();
    } catch (const nb::python_error& spent) {
        if (!spent.matches(global("ZqError"))) throw;
        set_fatal(self, zq_error(messages::reconnect_spent));
        return true;
    }
    return false;
}

// Stops the children and closes the socket; runs after every connection, also on cancellation.
Task<> end_connection(nb::object self, nb::list children) {
    nb::setattr(self, "ready", nb::bool_(false));
    self.attr("acked").attr("clear")();
    for (nb::handle task : children) task.attr("cancel")();
    if (nb::len(children) != 0) {
        nb::object gather = global("asyncio").attr("gather");
        nb::dict options;
        options["return_exceptions"] = true;
        nb::object gathering =
            nb::steal(PyObject_Call(gather.ptr(), nb::tuple(children).ptr(), options.ptr()));
        if (!gathering.is_valid()) throw nb::python_error();
        co_await std::move(gathering);
    }
    nb::object ws = self.attr("ws");
    std::exception_ptr failure;
    if (!ws.is_none()) {
        nb::object closing = ws.attr("close")();
        try {
            co_await std::move(closing);
        } catch (const nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) failure = std::current_exception();
        }
    }
    nb::setattr(self, "ws", nb::none());
    if (failure) std::rethrow_exception(failure);
}

// One connection, from opening the socket until it fails.
Task<> serve_connection(nb::object self, nb::list children, nb::object* delay) {
    co_await open_websocket(self);
    begin_connection(self);
    start_children(self, children);
    co_await wait_first(children);
    self.attr("_report_ready")();
    *delay = nb::int_(timing::reconnect_first_pause_seconds);
    // Reader, sender and guard never finish without an exception, so this raises.
    nb::list rest;
    rest.append(children[0]);
    rest.append(children[1]);
    rest.append(children[3]);
    co_await wait_first(rest);
}

}  // namespace

Task<> receive(nb::object self) {
    nb::object ws = self.attr("ws");
    core::AsyncIterator messages(ws);
    while (std::optional<nb::object> message = co_await messages.next()) {
        handle_message(self, *message);
    }
    core::raise(global("aiohttp").attr("ClientConnectionError")(messages::socket_closed));
}

Task<> guard_ready(nb::object self) {
    while (true) {
        nb::object verifying = self.attr("verify_account")();
        co_await std::move(verifying);
        if (!core::truthy(self.attr("ready")) || !(self.attr("channels") <= self.attr("acked")))
            self.attr("recovery").attr("check")();
        else
            self.attr("_report_ready")();
        nb::object sleeping = global("asyncio").attr("sleep")(timing::ready_guard_poll_seconds);
        co_await std::move(sleeping);
    }
}

Task<> run(nb::object self) {
    nb::object delay = nb::int_(timing::reconnect_first_pause_seconds);
    self.attr("recovery").attr("begin")();
    while (true) {
        nb::list children;
        bool fatal = false;
        std::exception_ptr failure;
        try {
            co_await serve_connection(self, children, &delay);
        } catch (...) {
            failure = std::current_exception();
        }
        // Cancellation and other BaseExceptions pass through, after the cleanup below.
        std::exception_ptr passing;
        if (failure) {
            try {
                nb::object error = core::exception_object(failure);
                if (core::is_instance(error, PyExc_Exception) &&
                    !core::is_instance(error, global("asyncio").attr("CancelledError")))
                    fatal = is_fatal(self, error);
                else
                    passing = failure;
            } catch (...) {
                passing = std::current_exception();
            }
        }
        co_await end_connection(self, children);
        if (passing) std::rethrow_exception(passing);
        if (fatal) {
            self.attr("incoming").attr("clear")();
            co_return;
        }
        nb::object sleeping = global("asyncio").attr("sleep")(delay);
        co_await std::move(sleeping);
        nb::object doubled = delay * nb::int_(2);
        nb::int_ most(timing::reconnect_max_pause_seconds);
        delay = doubled <= most ? doubled : nb::object(most);
    }
}

Task<> close(nb::object self) {
    nb::object asyncio = global("asyncio");
    nb::object task = self.attr("task");
    if (!task.is_none()) {
        task.attr("cancel")();
        nb::object gathering = asyncio.attr("gather")(task, "return_exceptions"_a = true);
        co_await std::move(gathering);
    }
    nb::object session = self.attr("session");
    if (!session.is_none()) {
        nb::object closing = session.attr("close")();
        try {
            co_await std::move(closing);
        } catch (const nb::python_error& error) {
            if (!error.matches(PyExc_Exception)) throw;
            core::raise_from_none(zq_error(messages::close_failed));
        }
    }
    bool secure = core::starts_with(self.attr("url"), "https:");
    nb::object pause =
        secure ? nb::object(nb::float_(timing::tls_close_pause_seconds)) : nb::object(nb::int_(0));
    nb::object sleeping = asyncio.attr("sleep")(pause);
    co_await std::move(sleeping);
}

}  // namespace zqkit::transport
