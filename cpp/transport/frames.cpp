#include "transport/frames.hpp"

#include "core/py_errors.hpp"
#include "core/py_ops.hpp"
#include "transport/errors.hpp"
#include "transport/failure_verdicts.hpp"
#include "transport/json_reader.hpp"
#include "transport/module_state.hpp"
#include "transport/names.hpp"
#include "transport/pending_market.hpp"
#include "transport/subscriptions.hpp"

namespace zqkit::transport {

namespace {

[[noreturn]] void raise_invalid_json() {
    core::raise_from_none(zq_error(messages::frame_json_invalid));
}

nb::object parse_json(nb::handle data) {
    nb::object loads = global(name::json).attr(name::loads);
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
nb::object member(nb::handle body, nb::handle key) {
    if (PyDict_CheckExact(body.ptr())) {
        PyObject* value = PyDict_GetItemWithError(body.ptr(), key.ptr());
        if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
        return value == nullptr ? nb::none() : nb::borrow(value);
    }
    return body.attr("get")(key);
}

// Subscribed, or sent on this connection and unsubscribed since: the service keeps
// acknowledging and pushing such a channel because nothing tells it otherwise.
bool known_on_connection(nb::handle self, nb::handle channel) {
    return core::contains(self.attr(name::channels), channel) ||
           core::contains(self.attr(name::sent), channel);
}

bool is_valid_ack(nb::handle self, nb::handle body, nb::handle channels) {
    if (!member(body, name::key_op).equal(nb::str("sub"))) return false;
    if (!member(body, name::key_ok).is(Py_True)) return false;
    if (!PyList_Check(channels.ptr()) || PyList_GET_SIZE(channels.ptr()) == 0) return false;
    for (nb::handle channel : nb::borrow<nb::list>(channels))
        if (!PyUnicode_Check(channel.ptr()) || !known_on_connection(self, channel)) return false;
    return true;
}

void accept_ack(nb::handle self, nb::handle body) {
    nb::object channels = member(body, name::key_c);
    if (!is_valid_ack(self, body, channels)) core::raise(zq_error(messages::ack_invalid));
    self.attr(name::acked).attr("update")(channels);
    self.attr(name::ack_changed).attr(name::set)();
    self.attr(name::report_ready)();
}

nb::object decode_push(nb::handle body, nb::handle channel) {
    nb::object parts = nb::steal(PyUnicode_RSplit(channel.ptr(), nb::str(":").ptr(), 1));
    if (!parts.is_valid()) throw nb::python_error();
    nb::object symbol = parts[1];
    nb::object payload = member(body, name::key_d);
    bool quote = core::starts_with(channel, quote_prefix);
    PyObject* arguments[] = {payload.ptr(), symbol.ptr(), quote ? Py_True : Py_False};
    nb::object keywords = nb::make_tuple("quote");
    nb::object decode = global(name::decode);
    PyObject* data = PyObject_Vectorcall(decode.ptr(), arguments, 2, keywords.ptr());
    if (data == nullptr) throw nb::python_error();
    return nb::steal(data);
}

void accept_push(nb::handle self, nb::handle body) {
    nb::object channel = member(body, name::key_c);
    if (!PyUnicode_Check(channel.ptr())) core::raise(zq_error(messages::push_not_subscribed));
    if (!core::contains(self.attr(name::channels), channel)) {
        if (core::contains(self.attr(name::sent), channel))
            return;  // unsubscribed since it was sent
        core::raise(zq_error(messages::push_not_subscribed));
    }
    nb::object data = decode_push(body, channel);
    nb::object sequence = self.attr(name::sequence) + nb::int_(1);
    nb::setattr(self, name::sequence, sequence);
    nb::list rows;
    rows.append(data);
    nb::object incoming = self.attr(name::incoming);
    nb::object entry = nb::make_tuple(self.attr(name::generation), channel, rows, sequence);
    bool native = is_pending_market(incoming);
    if (native)
        pending_append(incoming, entry);
    else
        incoming.attr("append")(entry);
    Py_ssize_t pending = native ? pending_size(incoming) : core::size_of(incoming);
    // A consumer this far behind is resynchronised from fresh snapshots instead.
    if (nb::int_(pending) > self.attr(name::pending_limit)()) core::raise(retry_market_error());
    if (core::truthy(self.attr(name::ready))) self.attr(name::changed).attr(name::set)();
}

}  // namespace

void handle_message(nb::handle self, nb::handle message) {
    nb::object aiohttp = global(name::aiohttp);
    nb::object kinds = aiohttp.attr(name::ws_message_type);
    nb::object kind = message.attr(name::type);
    if (kind.equal(kinds.attr(name::error)))
        core::raise(aiohttp.attr("ClientConnectionError")(messages::socket_receive_failed));
    if (kind.not_equal(kinds.attr(name::text))) core::raise(zq_error(messages::frame_not_text));
    nb::object body = parse_json(message.attr(name::data));
    if (!PyDict_Check(body.ptr())) core::raise(zq_error(messages::frame_not_object));
    if (core::contains(body, name::key_op)) return accept_ack(self, body);
    if (member(body, name::key_ok).is(Py_False))
        core::raise(zq_error(messages::subscription_refused));
    accept_push(self, body);
}

}  // namespace zqkit::transport
