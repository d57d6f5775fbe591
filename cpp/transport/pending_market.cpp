#include "transport/pending_market.hpp"

#include "core/py_ops.hpp"
#include "core/python_class.hpp"
#include "transport/module_state.hpp"
#include "transport/names.hpp"
#include "transport/subscriptions.hpp"

namespace zqkit::transport {

namespace {

constexpr const char* pending_market_doc =
    "保留尚未提交的最新行情状态，同时让恢复快照先于实时推送提交。";

// The class made at import, kept for the life of the process: identity checks tell our own
// buffer from a replacement.
PyObject* pending_market_class = nullptr;

// A quote channel keeps its newest entry; a K-line channel one entry per bar.
nb::object merge_key(nb::handle item) {
    nb::object generation, channel, rows;
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 4) {
        generation = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
        channel = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
        rows = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 2));
    } else {
        std::vector<nb::object> parts = core::unpack(item, 4);
        generation = parts[0], channel = parts[1], rows = parts[2];
    }
    if (core::starts_with(channel, quote_prefix)) return nb::make_tuple(generation, channel);
    nb::object first = rows[0];
    PyObject* timestamp = PyObject_GetItem(first.ptr(), name::timestamp.ptr());
    if (timestamp == nullptr) throw nb::python_error();
    return nb::make_tuple(generation, channel, nb::steal(timestamp));
}

void init(nb::handle self) {
    nb::setattr(self, "snapshots", global("deque")());
    nb::setattr(self, "live", global("OrderedDict")());
}

nb::object iterate(nb::handle self) {
    nb::object chain = nb::module_::import_("itertools").attr("chain");
    nb::object live_values = core::call_method(core::attr(self, name::live), name::values);
    return nb::iter(chain(core::attr(self, name::snapshots), live_values));
}

void appendleft(nb::handle self, nb::handle item) {
    core::call_method(core::attr(self, name::snapshots), name::appendleft, item);
}

void clear(nb::handle self) {
    core::call_method(core::attr(self, name::snapshots), name::clear);
    core::call_method(core::attr(self, name::live), name::clear);
}

}  // namespace

bool is_pending_market(nb::handle buffer) {
    return reinterpret_cast<PyObject*>(Py_TYPE(buffer.ptr())) == pending_market_class;
}

Py_ssize_t pending_size(nb::handle self) {
    return core::size_of(core::attr(self, name::snapshots)) +
           core::size_of(core::attr(self, name::live));
}

void pending_append(nb::handle self, nb::handle item) {
    nb::object key = merge_key(item);
    nb::object live = core::attr(self, name::live);
    // In an OrderedDict a new key is already last; only a replaced one has to move.
    bool ordered = Py_IS_TYPE(live.ptr(), &PyODict_Type);
    bool replacing = ordered && core::contains(live, key);
    if (PyObject_SetItem(live.ptr(), key.ptr(), item.ptr()) != 0) throw nb::python_error();
    if (replacing || !ordered) core::call_method(live, name::move_to_end, key);
}

nb::object pending_popleft(nb::handle self) {
    nb::object snapshots = core::attr(self, name::snapshots);
    if (core::truthy(snapshots)) return core::call_method(snapshots, name::popleft);
    nb::object pair = core::call_method(core::attr(self, name::live), name::popitem, Py_False);
    return pair[1];
}

void bind_pending_market(nb::module_& m) {
    nb::dict ns;
    ns["__doc__"] = pending_market_doc;
    nb::object cls = core::make_class(m, "_PendingMarket", nb::tuple(), ns);
    core::add_method(cls, "__init__", &init);
    core::add_method(cls, "__len__", &pending_size);
    core::add_method(cls, "__iter__", &iterate);
    core::add_method(cls, "append", &pending_append, nb::arg("item").none());
    core::add_method(cls, "appendleft", &appendleft, nb::arg("item").none());
    core::add_method(cls, "popleft", &pending_popleft);
    core::add_method(cls, "clear", &clear);
    pending_market_class = cls.inc_ref().ptr();
    m.attr("_PendingMarket") = cls;
}

}  // namespace zqkit::transport
