#include "transport/names.hpp"

namespace zqkit::transport::name {

nb::handle channels, sent, acked, ack_changed, report_ready, sequence, incoming, generation,
    pending_limit, ready, changed, set, type, data, loads, json, aiohttp, decode, ws_message_type,
    text, error, key_c, key_d, key_op, key_ok;

namespace {

nb::handle intern(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw nb::python_error();
    return name;
}

}  // namespace

void intern_all() {
    channels = intern("channels");
    sent = intern("_sent");
    acked = intern("acked");
    ack_changed = intern("ack_changed");
    report_ready = intern("_report_ready");
    sequence = intern("sequence");
    incoming = intern("incoming");
    generation = intern("generation");
    pending_limit = intern("_pending_limit");
    ready = intern("ready");
    changed = intern("changed");
    set = intern("set");
    type = intern("type");
    data = intern("data");
    loads = intern("loads");
    json = intern("json");
    aiohttp = intern("aiohttp");
    decode = intern("decode");
    ws_message_type = intern("WSMsgType");
    text = intern("TEXT");
    error = intern("ERROR");
    key_c = intern("c");
    key_d = intern("d");
    key_op = intern("op");
    key_ok = intern("ok");
}

}  // namespace zqkit::transport::name
