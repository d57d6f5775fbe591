#include "transport/lifecycle.hpp"

#include "core/py_ops.hpp"
#include "transport/errors.hpp"
#include "transport/failure_verdicts.hpp"
#include "transport/module_state.hpp"

namespace zqkit::transport {

namespace {

// "wss" for an "https:" base URL, else "ws", then the URL from its first colon on.
nb::object websocket_base(nb::handle url) {
    nb::object rest = url[nb::slice(url.attr("index")(":"), nb::none(), nb::none())];
    bool secure = core::starts_with(url, "https:");
    return nb::str(secure ? "wss" : "ws") + rest;
}

// `channels <= acked`: every subscribed channel acknowledged.
bool all_acked(nb::handle self) {
    return self.attr("channels") <= self.attr("acked");
}

}  // namespace

void transport_init(nb::handle self, nb::handle url, nb::handle timeout, nb::handle restore,
                    nb::handle token, nb::handle auth_url) {
    nb::object asyncio = global("asyncio");
    nb::setattr(self, "token", token);
    nb::setattr(self, "auth_url", auth_url);
    nb::setattr(self, "_verified_until", nb::int_(0));
    nb::setattr(self, "_auth_lock", asyncio.attr("Lock")());
    nb::setattr(self, "url", url);
    nb::setattr(self, "ws_url", websocket_base(url));
    nb::setattr(self, "timeout", timeout);
    nb::setattr(self, "restore", restore);
    nb::setattr(self, "session", nb::none());
    nb::setattr(self, "channels", nb::set());
    nb::setattr(self, "_kline_channel_count", nb::int_(0));
    nb::setattr(self, "acked", nb::set());
    nb::setattr(self, "incoming", global("_PendingMarket")());
    nb::setattr(self, "changed", asyncio.attr("Event")());
    nb::setattr(self, "subscriptions_changed", asyncio.attr("Event")());
    nb::setattr(self, "ack_changed", asyncio.attr("Event")());
    nb::setattr(self, "task", nb::none());
    nb::setattr(self, "generation", nb::int_(0));
    nb::setattr(self, "sequence", nb::int_(0));
    nb::setattr(self, "ready", nb::bool_(false));
    nb::setattr(self, "_connection_announced", nb::bool_(false));
    nb::setattr(self, "fatal_error", nb::none());
    nb::setattr(self, "ws", nb::none());
    nb::setattr(self, "recovery", global("Recovery")(messages::connection_budget));
    nb::setattr(self, "bootstrap_task", nb::none());
    // Channels sent on the current connection: the service keeps pushing a channel after
    // `unsubscribe` (nothing is sent for it), and those pushes must not count as foreign data.
    nb::setattr(self, "_sent", nb::set());
}

void report_ready(nb::handle self) {
    if (core::truthy(self.attr("ready")) && all_acked(self) &&
        !core::truthy(self.attr("_connection_announced"))) {
        self.attr("recovery").attr("success")();
        nb::setattr(self, "_connection_announced", nb::bool_(true));
    }
}

void start(nb::handle self) {
    if (!self.attr("fatal_error").is_none()) return;
    nb::object task = self.attr("task");
    if (task.is_none() || core::truthy(task.attr("done")())) {
        nb::object coroutine = self.attr("run")();
        nb::setattr(self, "task", global("asyncio").attr("create_task")(coroutine));
    }
}

void raise_error(nb::handle self) {
    nb::object error = self.attr("fatal_error");
    if (!error.is_none()) core::raise(error);
}

}  // namespace zqkit::transport
