#include "transport/subscriptions.hpp"

#include "core/py_ops.hpp"
#include "transport/coroutines.hpp"
#include "transport/failure_verdicts.hpp"
#include "transport/module_state.hpp"

namespace zqkit::transport {

namespace {

void add_kline_count(nb::handle self, int delta) {
    nb::object count = self.attr("_kline_channel_count") + nb::int_(delta);
    nb::setattr(self, "_kline_channel_count", count);
}

}  // namespace

void subscribe(nb::handle self, nb::handle channel) {
    nb::object channels = self.attr("channels");
    if (!core::contains(channels, channel)) {
        nb::setattr(self, "_connection_announced", nb::bool_(false));
        channels.attr("add")(channel);
        if (core::starts_with(channel, kline_prefix)) add_kline_count(self, 1);
    }
    self.attr("subscriptions_changed").attr("set")();
}

void unsubscribe(nb::handle self, nb::handle channel) {
    nb::object channels = self.attr("channels");
    if (core::contains(channels, channel)) {
        channels.attr("remove")(channel);
        if (core::starts_with(channel, kline_prefix)) add_kline_count(self, -1);
    }
}

nb::object pending_limit(nb::handle self) {
    nb::object wanted = nb::int_(nb::len(nb::object(self.attr("channels")))) +
                        nb::int_(3) * self.attr("_kline_channel_count");
    nb::int_ floor(2048);
    return wanted > floor ? wanted : nb::object(floor);
}

namespace {

using namespace nb::literals;

// No subscription frame may pass this many bytes, unless one channel name alone does.
constexpr Py_ssize_t frame_limit = 15360;

nb::object subscription_frame(nb::handle batch) {
    nb::dict message;
    message["op"] = "sub";
    message["c"] = batch;
    return global("json").attr("dumps")(message, "separators"_a = nb::make_tuple(",", ":"));
}

Py_ssize_t utf8_size(nb::handle text) {
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(text.ptr(), &size) == nullptr) throw nb::python_error();
    return size;
}

// The channels not yet sent on this connection, in ascending order.
nb::list unsent_channels(nb::handle self, nb::handle sent) {
    nb::list unsent;
    for (nb::handle channel : nb::object(self.attr("channels")))
        if (!core::contains(sent, channel)) unsent.append(channel);
    if (PyList_Sort(unsent.ptr()) != 0) throw nb::python_error();
    return unsent;
}

// Sends one frame; a socket that breaks while sending is a connection fault like any other.
Task<> send_batch(nb::object self, nb::object batch, nb::object sent) {
    nb::object frame = subscription_frame(batch);
    nb::object sending = self.attr("ws").attr("send_str")(frame);
    try {
        co_await std::move(sending);
    } catch (const nb::python_error& error) {
        if (!error.matches(PyExc_ConnectionError)) throw;
        nb::object fault =
            global("aiohttp").attr("ClientConnectionError")(messages::subscription_send_failed);
        core::raise_from(fault, error.value());
    }
    sent.attr("update")(batch);
}

// Measures candidate frames. With the standard `json.dumps` the size of a frame is known
// from its parts (each channel costs its own encoding plus a comma), which keeps a pass linear
// in the number of channels; otherwise every candidate is encoded in full.
class FrameSizer {
  public:
    FrameSizer() {
        nb::object json = global("json");
        standard_ = nb::getattr(json, "dumps", nb::none()).is(standard_json_dumps());
        if (standard_) {
            encode_ = nb::module_::import_("json.encoder").attr("encode_basestring_ascii");
            empty_size_ = utf8_size(subscription_frame(nb::list()));
        }
    }

    // Size of the frame for `batch` plus `channel`.
    Py_ssize_t with(nb::handle batch, nb::handle channel) {
        if (standard_ && PyUnicode_CheckExact(channel.ptr())) {
            Py_ssize_t comma = nb::len(batch) == 0 ? 0 : 1;
            return empty_size_ + batch_size_ + comma + utf8_size(encode_(channel));
        }
        nb::list candidate = nb::borrow<nb::list>(PySequence_List(batch.ptr()));
        candidate.append(channel);
        return utf8_size(subscription_frame(candidate));
    }

    // Records that `channel` joined the batch, whose frame now has `size` bytes.
    void added(Py_ssize_t size) { batch_size_ = size - empty_size_; }
    void reset() { batch_size_ = 0; }

  private:
    bool standard_ = false;
    nb::object encode_;
    Py_ssize_t empty_size_ = 0;
    Py_ssize_t batch_size_ = 0;
};

// One pass: every unsent channel, in sorted frames that stay within the frame limit.
Task<> send_unsent(nb::object self, nb::object sent) {
    nb::list unsent = unsent_channels(self, sent);
    nb::list batch;
    FrameSizer sizer;
    for (nb::handle channel : unsent) {
        Py_ssize_t size = sizer.with(batch, channel);
        if (nb::len(batch) != 0 && size > frame_limit) {
            co_await send_batch(self, batch, sent);
            batch = nb::list();
            sizer.reset();
            size = sizer.with(batch, channel);
        }
        batch.append(channel);
        sizer.added(size);
    }
    if (nb::len(batch) != 0) co_await send_batch(self, batch, sent);
}

}  // namespace

Task<> wait_ack(nb::object self, nb::object channel) {
    while (!core::contains(self.attr("acked"), channel)) {
        self.attr("raise_error")();
        nb::object event = self.attr("ack_changed");
        event.attr("clear")();
        nb::object waiting = event.attr("wait")();
        co_await std::move(waiting);
    }
}

Task<> send_subscriptions(nb::object self) {
    nb::set sent;
    // Published so that `receive` can tell pushes for channels unsubscribed since they were
    // sent on this connection from data nobody asked for.
    nb::setattr(self, "_sent", sent);
    while (true) {
        self.attr("subscriptions_changed").attr("clear")();
        co_await send_unsent(self, sent);
        nb::object waiting = self.attr("subscriptions_changed").attr("wait")();
        co_await std::move(waiting);
    }
}

}  // namespace zqkit::transport
