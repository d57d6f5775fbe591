#include "transport/pending_market.hpp"

#include "core/python_class.hpp"
#include "transport/module_state.hpp"
#include "transport/python_ops.hpp"
#include "transport/subscriptions.hpp"

namespace zqkit::transport {

namespace {

constexpr const char* pending_market_doc =
    "保留尚未提交的最新行情状态，同时让恢复快照先于实时推送提交。";

// Interned names and the class itself, made once at import and kept for the life of the
// process: this is the hot path of every market push.
struct Names {
    PyObject* snapshots;
    PyObject* live;
    PyObject* timestamp;
    PyObject* move_to_end;
    PyObject* popitem;
    PyObject* popleft;
    PyObject* appendleft;
    PyObject* clear;
    PyObject* values;
    PyObject* cls;
};
Names names{};

PyObject* intern(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw nb::python_error();
    return name;
}

nb::object attribute(nb::handle self, PyObject* name) {
    PyObject* value = PyObject_GetAttr(self.ptr(), name);
    if (value == nullptr) throw nb::python_error();
    return nb::steal(value);
}

nb::object call_method(PyObject* name, nb::handle target, nb::handle argument = {}) {
    PyObject* arguments[] = {target.ptr(), argument.ptr()};
    size_t count = argument.is_valid() ? 2 : 1;
    PyObject* result = PyObject_VectorcallMethod(name, arguments, count, nullptr);
    if (result == nullptr) throw nb::python_error();
    return nb::steal(result);
}

// A quote channel keeps its newest entry; a K-line channel one entry per bar.
nb::object merge_key(nb::handle item) {
    nb::object generation, channel, rows;
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 4) {
        generation = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
        channel = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1));
        rows = nb::borrow(PyTuple_GET_ITEM(item.ptr(), 2));
    } else {
        std::vector<nb::object> parts = unpack(item, 4);
        generation = parts[0], channel = parts[1], rows = parts[2];
    }
    if (starts_with(channel, quote_prefix)) return nb::make_tuple(generation, channel);
    nb::object first = rows[0];
    PyObject* timestamp = PyObject_GetItem(first.ptr(), names.timestamp);
    if (timestamp == nullptr) throw nb::python_error();
    return nb::make_tuple(generation, channel, nb::steal(timestamp));
}

void init(nb::handle self) {
    nb::setattr(self, "snapshots", global("deque")());
    nb::setattr(self, "live", global("OrderedDict")());
}

nb::object iterate(nb::handle self) {
    nb::object chain = nb::module_::import_("itertools").attr("chain");
    nb::object live_values = call_method(names.values, attribute(self, names.live));
    return nb::iter(chain(attribute(self, names.snapshots), live_values));
}

void appendleft(nb::handle self, nb::handle item) {
    call_method(names.appendleft, attribute(self, names.snapshots), item);
}

void clear(nb::handle self) {
    call_method(names.clear, attribute(self, names.snapshots));
    call_method(names.clear, attribute(self, names.live));
}

}  // namespace

bool is_pending_market(nb::handle buffer) {
    return reinterpret_cast<PyObject*>(Py_TYPE(buffer.ptr())) == names.cls;
}

Py_ssize_t pending_size(nb::handle self) {
    return size_of(attribute(self, names.snapshots)) + size_of(attribute(self, names.live));
}

void pending_append(nb::handle self, nb::handle item) {
    nb::object key = merge_key(item);
    nb::object live = attribute(self, names.live);
    // In an OrderedDict a new key is already last; only a replaced one has to move.
    bool ordered = Py_IS_TYPE(live.ptr(), &PyODict_Type);
    bool replacing = ordered && contains(live, key);
    if (PyObject_SetItem(live.ptr(), key.ptr(), item.ptr()) != 0) throw nb::python_error();
    if (replacing || !ordered) call_method(names.move_to_end, live, key);
}

nb::object pending_popleft(nb::handle self) {
    nb::object snapshots = attribute(self, names.snapshots);
    if (truthy(snapshots)) return call_method(names.popleft, snapshots);
    nb::object pair = call_method(names.popitem, attribute(self, names.live), Py_False);
    return pair[1];
}

void bind_pending_market(nb::module_& m) {
    names = Names{intern("snapshots"),  intern("live"),
                  intern("timestamp"),  intern("move_to_end"),
                  intern("popitem"),    intern("popleft"),
                  intern("appendleft"), intern("clear"),
                  intern("values"),     nullptr};
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
    names.cls = cls.inc_ref().ptr();
    m.attr("_PendingMarket") = cls;
}

}  // namespace zqkit::transport
