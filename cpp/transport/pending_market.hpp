// `_PendingMarket`: the buffer of uncommitted market items between the stream and next_batch.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::transport {

namespace nb = nanobind;

void bind_pending_market(nb::module_& m);

}  // namespace zqkit::transport
