#include "transport/pending_market.hpp"

#include <array>
#include <vector>

#include "transport/module_state.hpp"
#include "transport/python_class.hpp"
#include "transport/python_ops.hpp"
#include "transport/subscriptions.hpp"

namespace zqkit::transport {

namespace {

constexpr const char* pending_market_doc =
    "保留尚未提交的最新行情状态，同时让恢复快照先于实时推送提交。";

using Entry = std::array<nb::object, 4>;

Entry unpack_entry(nb::handle item) {
    std::vector<nb::object> parts = unpack(item, 4);
    return {parts[0], parts[1], parts[2], parts[3]};
}

// A quote channel keeps its newest entry; a K-line channel one entry per bar.
nb::object merge_key(const Entry& entry) {
    const auto& [generation, channel, rows, sequence] = entry;
    if (starts_with(channel, quote_prefix)) return nb::make_tuple(generation, channel);
    return nb::make_tuple(generation, channel, rows[0]["timestamp"]);
}

void init(nb::handle self) {
    nb::setattr(self, "snapshots", global("deque")());
    nb::setattr(self, "live", global("OrderedDict")());
}

Py_ssize_t length(nb::handle self) {
    return size_of(self.attr("snapshots")) + size_of(self.attr("live"));
}

nb::object iterate(nb::handle self) {
    nb::object chain = nb::module_::import_("itertools").attr("chain");
    return nb::iter(chain(self.attr("snapshots"), self.attr("live").attr("values")()));
}

void append(nb::handle self, nb::handle item) {
    nb::object key = merge_key(unpack_entry(item));
    nb::object live = self.attr("live");
    live[key] = item;
    live.attr("move_to_end")(key);
}

void appendleft(nb::handle self, nb::handle item) {
    self.attr("snapshots").attr("appendleft")(item);
}

nb::object popleft(nb::handle self) {
    nb::object snapshots = self.attr("snapshots");
    if (truthy(snapshots)) return snapshots.attr("popleft")();
    nb::object pair = self.attr("live").attr("popitem")(nb::arg("last") = false);
    return pair[1];
}

void clear(nb::handle self) {
    self.attr("snapshots").attr("clear")();
    self.attr("live").attr("clear")();
}

}  // namespace

void bind_pending_market(nb::module_& m) {
    nb::object cls = make_class("_PendingMarket", pending_market_doc);
    add_method(cls, "__init__", &init);
    add_method(cls, "__len__", &length);
    add_method(cls, "__iter__", &iterate);
    add_method(cls, "append", &append, nb::arg("item").none());
    add_method(cls, "appendleft", &appendleft, nb::arg("item").none());
    add_method(cls, "popleft", &popleft);
    add_method(cls, "clear", &clear);
    m.attr("_PendingMarket") = cls;
}

}  // namespace zqkit::transport
