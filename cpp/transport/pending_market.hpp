// `_PendingMarket`: the buffer of uncommitted market items between the stream and next_batch.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::transport {

namespace nb = nanobind;

void bind_pending_market(nb::module_& m);

// Whether `buffer` is exactly this module's `_PendingMarket` (no subclass, no stand-in), whose
// methods the stream may then call without going through attribute lookup.
bool is_pending_market(nb::handle buffer);

// `_PendingMarket.append`, `popleft` and `__len__`.
void pending_append(nb::handle self, nb::handle item);
nb::object pending_popleft(nb::handle self);
Py_ssize_t pending_size(nb::handle self);

}  // namespace zqkit::transport
