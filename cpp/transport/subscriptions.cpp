#include "transport/subscriptions.hpp"

#include "transport/module_state.hpp"
#include "transport/python_ops.hpp"

namespace zqkit::transport {

namespace {

void add_kline_count(nb::handle self, int delta) {
    nb::object count = self.attr("_kline_channel_count") + nb::int_(delta);
    nb::setattr(self, "_kline_channel_count", count);
}

}  // namespace

void subscribe(nb::handle self, nb::handle channel) {
    nb::object channels = self.attr("channels");
    if (!contains(channels, channel)) {
        nb::setattr(self, "_connection_announced", nb::bool_(false));
        channels.attr("add")(channel);
        if (starts_with(channel, kline_prefix)) add_kline_count(self, 1);
    }
    self.attr("subscriptions_changed").attr("set")();
}

void unsubscribe(nb::handle self, nb::handle channel) {
    nb::object channels = self.attr("channels");
    if (contains(channels, channel)) {
        channels.attr("remove")(channel);
        if (starts_with(channel, kline_prefix)) add_kline_count(self, -1);
    }
}

nb::object pending_limit(nb::handle self) {
    nb::object wanted = nb::int_(nb::len(nb::object(self.attr("channels")))) +
                        nb::int_(3) * self.attr("_kline_channel_count");
    nb::int_ floor(2048);
    return wanted > floor ? wanted : nb::object(floor);
}

}  // namespace zqkit::transport
