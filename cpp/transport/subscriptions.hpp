// Subscribed channels, their acknowledgement and the pending limit derived from them.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::transport {

namespace nb = nanobind;

inline constexpr const char* kline_prefix = "zq:kline:";
inline constexpr const char* quote_prefix = "zq:quote:";

// Transport.subscribe(channel)
void subscribe(nb::handle self, nb::handle channel);

// Transport.unsubscribe(channel): local only; the service is not told.
void unsubscribe(nb::handle self, nb::handle channel);

// Transport._pending_limit(): max(2048, len(channels) + 3 * _kline_channel_count)
nb::object pending_limit(nb::handle self);

}  // namespace zqkit::transport
