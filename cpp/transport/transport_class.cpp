#include "transport/transport_class.hpp"

#include "transport/lifecycle.hpp"
#include "transport/python_class.hpp"
#include "transport/subscriptions.hpp"

namespace zqkit::transport {

// Methods are added in source order; the class has no docstring of its own.
void bind_transport(nb::module_& m) {
    nb::object cls = make_class("Transport", nullptr);
    add_method(cls, "__init__", &transport_init, nb::arg("url").none(), nb::arg("timeout").none(),
               nb::arg("restore").none(), nb::arg("token").none(), nb::arg("auth_url").none());
    add_method(cls, "_report_ready", &report_ready);
    add_method(cls, "subscribe", &subscribe, nb::arg("channel").none());
    add_method(cls, "unsubscribe", &unsubscribe, nb::arg("channel").none());
    add_method(cls, "_pending_limit", &pending_limit);
    add_method(cls, "start", &start);
    add_method(cls, "raise_error", &raise_error);
    m.attr("Transport") = cls;
}

}  // namespace zqkit::transport
