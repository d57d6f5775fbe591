// Interned names for the push path: attribute and global lookups that run for every frame.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::transport::name {

namespace nb = nanobind;

// Set once at import; the strings are kept for the life of the process.
extern nb::handle channels, sent, acked, ack_changed, report_ready, sequence, incoming, generation,
    pending_limit, ready, changed, set, type, data, loads, json, aiohttp, decode, ws_message_type,
    text, error, key_c, key_d, key_op, key_ok;

void intern_all();

}  // namespace zqkit::transport::name
