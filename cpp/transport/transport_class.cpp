#include "transport/transport_class.hpp"

#include <cstring>

#include "core/coro.hpp"
#include "core/python_class.hpp"
#include "transport/coroutines.hpp"
#include "transport/lifecycle.hpp"
#include "transport/subscriptions.hpp"

namespace zqkit::transport {

namespace {

template <typename F, typename... Extra>
void add_coroutine(nb::handle cls, const char* qualname, F function, const Extra&... extra) {
    nb::object method = core::make_coroutine_function(qualname, function, nb::scope(cls),
                                                      nb::is_method(), extra...);
    const char* name = std::strrchr(qualname, '.') + 1;
    nb::setattr(cls, name, method);
}

}  // namespace

// Methods are added in source order; the class has no docstring of its own.
void bind_transport(nb::module_& m) {
    nb::object cls = core::make_class(m, "Transport", nb::tuple(), nb::dict());
    core::add_method(cls, "__init__", &transport_init, nb::arg("url").none(),
                     nb::arg("timeout").none(), nb::arg("restore").none(), nb::arg("token").none(),
                     nb::arg("auth_url").none());
    add_coroutine(cls, "Transport.client", &client);
    add_coroutine(cls, "Transport.verify_account", &verify_account);
    add_coroutine(cls, "Transport.get", &get, nb::arg("path").none(),
                  nb::arg("params").none() = nb::none());
    core::add_method(cls, "_report_ready", &report_ready);
    core::add_method(cls, "subscribe", &subscribe, nb::arg("channel").none());
    core::add_method(cls, "unsubscribe", &unsubscribe, nb::arg("channel").none());
    core::add_method(cls, "_pending_limit", &pending_limit);
    core::add_method(cls, "start", &start);
    core::add_method(cls, "raise_error", &raise_error);
    add_coroutine(cls, "Transport.wait_ack", &wait_ack, nb::arg("channel").none());
    add_coroutine(cls, "Transport.send_subscriptions", &send_subscriptions);
    add_coroutine(cls, "Transport.receive", &receive);
    add_coroutine(cls, "Transport.bootstrap", &bootstrap);
    add_coroutine(cls, "Transport._guard_ready", &guard_ready);
    add_coroutine(cls, "Transport.run", &run);
    add_coroutine(cls, "Transport.next_batch", &next_batch);
    add_coroutine(cls, "Transport.close", &close);
    m.attr("Transport") = cls;
}

}  // namespace zqkit::transport
