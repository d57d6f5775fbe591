#include "transport/frames.hpp"

#include "core/py_errors.hpp"
#include "transport/errors.hpp"
#include "transport/json_reader.hpp"
#include "transport/module_state.hpp"
#include "transport/pending_market.hpp"
#include "transport/python_ops.hpp"
#include "transport/subscriptions.hpp"

namespace zqkit::transport {

namespace {

constexpr const char* invalid_json = "行情 WebSocket 消息的 JSON 无效";

[[noreturn]] void raise_invalid_json() {
    core::raise_from_none(zq_error(invalid_json));
}

nb::object parse_json(nb::handle data) {
    nb::object loads = global("json").attr("loads");
    if (loads.is(standard_json_loads()) && PyUnicode_CheckExact(data.ptr())) {
        std::optional<nb::object> body = read_json(data);
        if (!body) raise_invalid_json();
        return std::move(*body);
    }
    PyObject* body = PyObject_CallOneArg(loads.ptr(), data.ptr());
    if (body != nullptr) return nb::steal(body);
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
    PyErr_Clear();
    raise_invalid_json();
}

// body.get(key), without a method call for an exact dict.
nb::object member(nb::handle body, const char* key) {
    if (PyDict_CheckExact(body.ptr())) {
        PyObject* value = PyDict_GetItemString(body.ptr(), key);
        return value == nullptr ? nb::none() : nb::borrow(value);
    }
    return body.attr("get")(key);
}

// Subscribed, or sent on this connection and unsubscribed since: the service keeps
// acknowledging and pushing such a channel because nothing tells it otherwise.
bool known_on_connection(nb::handle self, nb::handle channel) {
    return contains(self.attr("channels"), channel) || contains(self.attr("_sent"), channel);
}

bool is_valid_ack(nb::handle self, nb::handle body, nb::handle channels) {
    if (!member(body, "op").equal(nb::str("sub"))) return false;
    if (!member(body, "ok").is(Py_True)) return false;
    if (!PyList_Check(channels.ptr()) || PyList_GET_SIZE(channels.ptr()) == 0) return false;
    for (nb::handle channel : nb::borrow<nb::list>(channels))
        if (!PyUnicode_Check(channel.ptr()) || !known_on_connection(self, channel)) return false;
    return true;
}

void accept_ack(nb::handle self, nb::handle body) {
    nb::object channels = member(body, "c");
    if (!is_valid_ack(self, body, channels)) core::raise(zq_error("行情订阅确认消息无效"));
    self.attr("acked").attr("update")(channels);
    self.attr("ack_changed").attr("set")();
    self.attr("_report_ready")();
}

nb::object decode_push(nb::handle body, nb::handle channel) {
    nb::object parts = nb::steal(PyUnicode_RSplit(channel.ptr(), nb::str(":").ptr(), 1));
    if (!parts.is_valid()) throw nb::python_error();
    nb::object symbol = parts[1];
    nb::object payload = member(body, "d");
    bool quote = starts_with(channel, quote_prefix);
    PyObject* arguments[] = {payload.ptr(), symbol.ptr(), quote ? Py_True : Py_False};
    nb::object keywords = nb::make_tuple("quote");
    nb::object decode = global("decode");
    PyObject* data = PyObject_Vectorcall(decode.ptr(), arguments, 2, keywords.ptr());
    if (data == nullptr) throw nb::python_error();
    return nb::steal(data);
}

void accept_push(nb::handle self, nb::handle body) {
    nb::object channel = member(body, "c");
    if (!PyUnicode_Check(channel.ptr())) core::raise(zq_error("收到未订阅的行情频道数据"));
    if (!contains(self.attr("channels"), channel)) {
        if (contains(self.attr("_sent"), channel)) return;  // unsubscribed since it was sent
        core::raise(zq_error("收到未订阅的行情频道数据"));
    }
    nb::object data = decode_push(body, channel);
    nb::object sequence = self.attr("sequence") + nb::int_(1);
    nb::setattr(self, "sequence", sequence);
    nb::list rows;
    rows.append(data);
    nb::object incoming = self.attr("incoming");
    nb::object entry = nb::make_tuple(self.attr("generation"), channel, rows, sequence);
    bool native = is_pending_market(incoming);
    if (native)
        pending_append(incoming, entry);
    else
        incoming.attr("append")(entry);
    Py_ssize_t pending = native ? pending_size(incoming) : size_of(incoming);
    // A consumer this far behind is resynchronised from fresh snapshots instead.
    if (nb::int_(pending) > self.attr("_pending_limit")()) core::raise(retry_market_error());
    if (truthy(self.attr("ready"))) self.attr("changed").attr("set")();
}

}  // namespace

void handle_message(nb::handle self, nb::handle message) {
    nb::object aiohttp = global("aiohttp");
    nb::object kinds = aiohttp.attr("WSMsgType");
    nb::object kind = message.attr("type");
    if (kind.equal(kinds.attr("ERROR")))
        core::raise(aiohttp.attr("ClientConnectionError")("行情 WebSocket 接收失败"));
    if (kind.not_equal(kinds.attr("TEXT"))) core::raise(zq_error("行情 WebSocket 消息不是文本"));
    nb::object body = parse_json(message.attr("data"));
    if (!PyDict_Check(body.ptr())) core::raise(zq_error("行情 WebSocket 消息格式无效"));
    if (contains(body, nb::str("op"))) return accept_ack(self, body);
    if (member(body, "ok").is(Py_False)) core::raise(zq_error("行情订阅失败"));
    accept_push(self, body);
}

}  // namespace zqkit::transport
