// Checking and routing the frames the market WebSocket delivers.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::transport {

namespace nb = nanobind;

// Handles one aiohttp WebSocket message: an acknowledgement updates `acked`, a push goes to
// the pending buffer; anything malformed raises (ZqError for protocol faults).
void handle_message(nb::handle self, nb::handle message);

}  // namespace zqkit::transport
