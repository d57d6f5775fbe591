// Recovery snapshots ahead of live pushes, and the batches the API layer takes out.
#include "core/py_ops.hpp"
#include "transport/coroutines.hpp"
#include "transport/errors.hpp"
#include "transport/module_state.hpp"
#include "transport/pending_market.hpp"

namespace zqkit::transport {

namespace {

constexpr Py_ssize_t batch_limit = 1000;

// Puts the snapshots at the front of the buffer, in the order `restore` returned them.
void queue_snapshots(nb::handle self, nb::handle snapshots) {
    nb::object incoming = self.attr("incoming");
    nb::object pending = nb::int_(core::size_of(incoming) + core::size_of(snapshots));
    if (pending > self.attr("_pending_limit")()) core::raise(retry_market_error());
    nb::object reversed = nb::module_::import_("builtins").attr("reversed")(snapshots);
    for (nb::handle pair : reversed) {
        std::vector<nb::object> parts = core::unpack(pair, 2);
        nb::object entry = nb::make_tuple(self.attr("generation"), parts[0], parts[1], 0);
        incoming.attr("appendleft")(entry);
    }
}

bool has_entries(nb::handle incoming, bool native) {
    return native ? pending_size(incoming) != 0 : core::truthy(incoming);
}

nb::object take_entry(nb::handle incoming, bool native) {
    return native ? pending_popleft(incoming) : nb::object(incoming.attr("popleft")());
}

bool of_generation(nb::handle item, nb::handle generation) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) > 0)
        return nb::handle(PyTuple_GET_ITEM(item.ptr(), 0)).equal(generation);
    return nb::object(item[0]).equal(generation);
}

// Up to 1000 entries of the current connection; entries of older connections are dropped.
nb::list take_batch(nb::handle self) {
    nb::list batch;
    nb::object incoming = self.attr("incoming");
    bool native = is_pending_market(incoming);
    nb::object generation = self.attr("generation");
    while (has_entries(incoming, native) && PyList_GET_SIZE(batch.ptr()) < batch_limit) {
        nb::object item = take_entry(incoming, native);
        if (of_generation(item, generation)) batch.append(item);
    }
    return batch;
}

}  // namespace

Task<> bootstrap(nb::object self) {
    nb::object restoring = self.attr("restore")();
    nb::object snapshots = co_await std::move(restoring);
    queue_snapshots(self, snapshots);
    self.attr("raise_error")();
    nb::setattr(self, "ready", nb::bool_(true));
    self.attr("_report_ready")();
    self.attr("changed").attr("set")();
}

Task<nb::object> next_batch(nb::object self) {
    nb::object verifying = self.attr("verify_account")();
    co_await std::move(verifying);
    self.attr("start")();
    while (true) {
        self.attr("raise_error")();
        if (core::truthy(self.attr("ready")) && core::truthy(self.attr("incoming"))) {
            nb::list batch = take_batch(self);
            if (nb::len(batch) != 0) co_return batch;
        }
        nb::object changed = self.attr("changed");
        changed.attr("clear")();
        nb::object waiting = changed.attr("wait")();
        co_await std::move(waiting);
    }
}

}  // namespace zqkit::transport
