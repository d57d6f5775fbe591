#include "transport/transport_class.hpp"

#include "core/coro.hpp"
#include "core/python_class.hpp"
#include "transport/coroutines.hpp"
#include "transport/lifecycle.hpp"
#include "transport/subscriptions.hpp"

namespace zqkit::transport {

// Methods are added in source order; the class has no docstring of its own.
void bind_transport(nb::module_& m) {
    nb::object cls = core::make_class(m, "Transport", nb::tuple(), nb::dict());
    core::add_method(cls, "__init__", &transport_init, nb::arg("url").none(),
                     nb::arg("timeout").none(), nb::arg("restore").none(), nb::arg("token").none(),
                     nb::arg("auth_url").none());
    core::add_coroutine(cls, "client", &client);
    core::add_coroutine(cls, "verify_account", &verify_account);
    core::add_coroutine(cls, "get", &get, nb::arg("path").none(),
                        nb::arg("params").none() = nb::none());
    core::add_method(cls, "_report_ready", &report_ready);
    core::add_method(cls, "subscribe", &subscribe, nb::arg("channel").none());
    core::add_method(cls, "unsubscribe", &unsubscribe, nb::arg("channel").none());
    core::add_method(cls, "_pending_limit", &pending_limit);
    core::add_method(cls, "start", &start);
    core::add_method(cls, "raise_error", &raise_error);
    core::add_coroutine(cls, "wait_ack", &wait_ack, nb::arg("channel").none());
    core::add_coroutine(cls, "send_subscriptions", &send_subscriptions);
    core::add_coroutine(cls, "receive", &receive);
    core::add_coroutine(cls, "bootstrap", &bootstrap);
    core::add_coroutine(cls, "_guard_ready", &guard_ready);
    core::add_coroutine(cls, "run", &run);
    core::add_coroutine(cls, "next_batch", &next_batch);
    core::add_coroutine(cls, "close", &close);
    m.attr("Transport") = cls;
}

}  // namespace zqkit::transport
