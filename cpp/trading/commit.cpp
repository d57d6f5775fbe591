// Committing the private account, position, order and trade records into the user's views, and
// the position view made on demand.
//
// A commit walks every record of the book, so the walk takes C API paths over exact dicts, sets
// and tuples of exact str, and calls our own `_update_view` / `_map_view` bodies directly while
// they are what `self` has; anything else (a replaced method, a dict subclass, a mapping) goes
// through the very Python operations of the plain version, in its order.
#include <cstring>
#include <utility>
#include <vector>

#include "core/py_errors.hpp"
#include "core/py_ops.hpp"
#include "data/c_api.hpp"
#include "trading/module_state.hpp"
#include "trading/names.hpp"
#include "trading/session.hpp"

namespace zqkit::trading {

namespace {

using core::attr;
using core::call;
using core::call_method;
using core::checked;
using core::checked_status;
using core::for_each_item;
using core::for_each_key;
using core::item;
using core::set_attr;
using core::set_item;
using core::truthy;

// What the fast paths compare with by identity, found at import and kept for the process's life.
PyObject* own_update_view = nullptr;  // the class's own methods
PyObject* own_map_view = nullptr;
PyObject* live_map = nullptr;  // LiveMap, with the two methods `key in view` comes to
PyObject* live_map_contains = nullptr;
PyObject* live_map_getitem = nullptr;
PyObject* object_getattribute = nullptr;  // object.__getattribute__
const data::CApi* data_api = nullptr;     // zqkit.data's own `different`

// ─── Python operations with exact-type fast paths ──────────────────────────────────────────────

// id(value)
nb::object identity(nb::handle value) {
    return checked(PyLong_FromVoidPtr(value.ptr()));
}

// set(keys)
nb::object set_of(const std::vector<nb::object>& keys) {
    nb::object result = checked(PySet_New(nullptr));
    for (const nb::object& key : keys) checked_status(PySet_Add(result.ptr(), key.ptr()));
    return result;
}

// changes.setdefault(id(view), set())
nb::object marks_of(nb::handle changes, nb::handle view, bool likely_new = false) {
    nb::object key = identity(view);
    if (PyDict_CheckExact(changes.ptr()) && likely_new) {
        // One probe of the dict: the set made here is dropped when the key was there.
        nb::object fresh = checked(PySet_New(nullptr));
        PyObject* marks = PyDict_SetDefault(changes.ptr(), key.ptr(), fresh.ptr());
        if (marks == nullptr) throw nb::python_error();
        return nb::borrow(marks);
    }
    if (PyDict_CheckExact(changes.ptr())) {
        if (PyObject* found = core::dict_lookup(changes, key)) return nb::borrow(found);
        nb::object marks = checked(PySet_New(nullptr));
        set_item(changes, key, marks);
        return marks;
    }
    return call_method(changes, name::setdefault, key, checked(PySet_New(nullptr)));
}

// marks.add("__members__")
void mark_members(nb::handle marks) {
    if (PySet_CheckExact(marks.ptr())) {
        checked_status(PySet_Add(marks.ptr(), name::members.ptr()));
        return;
    }
    call_method(marks, name::add, name::members);
}

// key in view, for a LiveMap: a lookup in its exact `_data` while LiveMap's `__contains__` and
// `__getitem__` are the ones it was built with (Mapping's test through `self[key]`, which reads
// `_data[key]`), the Python operator otherwise.
bool in_map(nb::handle view, nb::handle key) {
    PyTypeObject* type = Py_TYPE(view.ptr());
    if (reinterpret_cast<PyObject*>(type) == live_map &&
        _PyType_Lookup(type, name::dunder_contains.ptr()) == live_map_contains &&
        _PyType_Lookup(type, name::dunder_getitem.ptr()) == live_map_getitem) {
        nb::object data = attr(view, name::_data);
        if (PyDict_CheckExact(data.ptr())) {
            return checked_status(PyDict_Contains(data.ptr(), key.ptr())) != 0;
        }
    }
    return core::contains(view, key);
}

// getattr(view, name) for a view whose class adds `__getattr__` to the ordinary lookup: while
// its `__getattribute__` is object's, the ordinary lookup runs first and `__getattr__` only when
// that fails with AttributeError, as the interpreter's hook for such classes does.
nb::object view_attr(nb::handle view, nb::handle name) {
    PyTypeObject* type = Py_TYPE(view.ptr());
    if (_PyType_Lookup(type, name::dunder_getattribute.ptr()) != object_getattribute) {
        return attr(view, name);
    }
    if (PyObject* value = PyObject_GenericGetAttr(view.ptr(), name.ptr())) return nb::steal(value);
    PyObject* hook = _PyType_Lookup(type, name::dunder_getattr.ptr());
    if (hook == nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    nb::object bound = nb::borrow(hook);
    if (descrgetfunc get = Py_TYPE(hook)->tp_descr_get) {
        bound = checked(get(hook, view.ptr(), reinterpret_cast<PyObject*>(type)));
    }
    return call(bound, name);
}

// `self.<name>` would be the class's own method `own` bound to `self`: attribute lookup is the
// ordinary one, the class (through its bases) holds `own`, a non-data descriptor, and the
// instance's dict does not shadow it. Answered without making the bound method.
bool finds_own(nb::handle self, nb::handle name, PyObject* own) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(type, name.ptr()) != own) {
        return false;
    }
    if (type->tp_dictoffset == 0) return true;
    nb::object dict = checked(PyObject_GenericGetDict(self.ptr(), nullptr));
    return checked_status(PyDict_Contains(dict.ptr(), name.ptr())) == 0;
}

// ─── _update_view ──────────────────────────────────────────────────────────────────────────────

// A `fields` tuple of exact str as the fast paths use it: its names, and for each the interned
// str of the same text. Records are keyed by interned names, so a record's key usually is that
// very object. Kept for a few tuples (the views' classes), each with a reference to the tuple
// so that no other object can take its identity.
struct FieldTable {
    PyObject* tuple;
    std::vector<PyObject*> interned;
};

// The interned str of the text of `name`, or `name` itself when the text has none (a NUL, a
// lone surrogate).
PyObject* interned_equal(PyObject* name) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr || std::strlen(text) != static_cast<size_t>(size)) {
        PyErr_Clear();
        return Py_NewRef(name);
    }
    return core::checked(PyUnicode_InternFromString(text)).release().ptr();
}

// The table of `fields`, or nullptr when it is not a tuple of exact str (or too many were seen).
const FieldTable* field_table(PyObject* fields) {
    static auto* tables = new std::vector<FieldTable>();  // for the process's life, on purpose
    for (const FieldTable& table : *tables) {
        if (table.tuple == fields) return &table;
    }
    if (!PyTuple_CheckExact(fields) || tables->size() >= 16) return nullptr;
    FieldTable table{fields, {}};
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(fields); ++index) {
        PyObject* name = PyTuple_GET_ITEM(fields, index);
        if (!PyUnicode_CheckExact(name)) return nullptr;
        table.interned.push_back(interned_equal(name));
    }
    Py_INCREF(fields);
    tables->push_back(std::move(table));
    return &tables->back();
}

// `key in fields`. A tuple of exact str (what the views' classes hold) answers an exact str key
// by the comparisons the tuple's `in` makes, without the calls: same object, else same text.
// Records list their fields in the class's order, so the name after the last one found is tried
// first.
class FieldNames {
  public:
    explicit FieldNames(nb::object fields)
        : fields_(std::move(fields)), table_(field_table(fields_.ptr())) {}

    bool contain(nb::handle key) {
        if (table_ == nullptr || !PyUnicode_CheckExact(key.ptr())) {
            found_ = nullptr;
            return core::contains(fields_, key);
        }
        const std::vector<PyObject*>& interned = table_->interned;
        Py_ssize_t count = static_cast<Py_ssize_t>(interned.size());
        if (next_ < count && interned[next_] == key.ptr()) return found_at(next_);
        for (Py_ssize_t index = 0; index < count; ++index) {
            if (interned[index] == key.ptr()) return found_at(index);
        }
        for (Py_ssize_t index = 0; index < count; ++index) {
            if (core::same_text(PyTuple_GET_ITEM(fields_.ptr(), index), key.ptr())) {
                return found_at(index);
            }
        }
        found_ = nullptr;
        return false;
    }

    // The tuple's own name the last `contain` found, when it was answered here.
    PyObject* found() const { return found_; }

    // Every membership test of an exact str key answers without running Python code.
    bool plain() const { return table_ != nullptr; }

    void rewind() { next_ = 0; }

  private:
    bool found_at(Py_ssize_t index) {
        found_ = PyTuple_GET_ITEM(fields_.ptr(), index);
        next_ = index + 1;
        return true;
    }

    nb::object fields_;
    const FieldTable* table_;
    Py_ssize_t next_ = 0;
    PyObject* found_ = nullptr;
};

// A view's storage, read where the plain version reads it. It lists the fields in the order the
// records do, so the entry after the last one read is tried first: an entry of an exact dict
// whose key has the text sought is the one a lookup would find.
class Storage {
  public:
    explicit Storage(nb::object stored) : stored_(std::move(stored)) {}

    nb::handle dict() const { return stored_; }

    // stored.get(key); `found` tells whether the key was there. `name` is the class's own
    // name of that text, when known: a view's storage is keyed by those very objects.
    nb::object get(nb::handle key, PyObject* name, bool& found) {
        if (PyObject* value = next_entry(key, name)) {
            found = true;
            return nb::borrow(value);
        }
        if (!PyDict_CheckExact(stored_.ptr())) {
            found = false;  // unknown: the caller stores through update() then
            return core::get(stored_, key);
        }
        PyObject* value = core::dict_lookup(stored_, key);
        found = value != nullptr;
        return nb::borrow(found ? value : Py_None);
    }

    void rewind() { position_ = 0; }

  private:
    // The value of the next entry when its key is `key`, else nullptr.
    PyObject* next_entry(nb::handle key, PyObject* expected) {
        if (!PyDict_CheckExact(stored_.ptr()) || !PyUnicode_CheckExact(key.ptr())) return nullptr;
        PyObject *name, *value;
        if (!PyDict_Next(stored_.ptr(), &position_, &name, &value)) return nullptr;
        if (name == expected) return value;
        if (!PyUnicode_CheckExact(name) || !core::same_text(name, key.ptr())) return nullptr;
        return value;
    }

    nb::object stored_;
    Py_ssize_t position_ = 0;
};

// bool(different(old, new)) through the module global, read where the plain version's call
// reads it; zqkit.data's own function answers without a call. `quiet` stays true while no
// comparison may have run Python code.
class ChangeTest {
  public:
    // Reads the global where the plain version's call expression does: before its arguments.
    void load() {
        if (!different_.is_valid()) different_ = global(name::different);
    }

    bool operator()(nb::handle old_value, nb::handle new_value) {
        load();
        if (different_.ptr() != data_api->different) {
            quiet = false;
            return truthy(call(different_, old_value, new_value));
        }
        // `x != x` is False for None, a bool, an exact int or str: no need to ask.
        PyObject* same = old_value.ptr();
        if (same == new_value.ptr() && (same == Py_None || PyBool_Check(same) ||
                                        PyLong_CheckExact(same) || PyUnicode_CheckExact(same))) {
            return false;
        }
        int still = 1;
        int answer = data_api->different_test(old_value.ptr(), new_value.ptr(), &still);
        quiet = quiet && still != 0;
        return checked_status(answer) != 0;
    }

    bool quiet = true;

  private:
    nb::object different_;
};

// One pass over `values`: the keys that are fields of the view whose value differs from the
// stored one, in the order of `values`, and what storing the fields afterwards has to write.
struct FieldChanges {
    std::vector<nb::object> changed;
    // The pairs whose key is absent or whose value is not the stored object itself.
    std::vector<std::pair<nb::object, nb::object>> writes;
    // Nothing during the pass could run Python code or meet a type but exact dicts and str keys,
    // so `writes` is all that storing the fields would change.
    bool quiet = true;
};

// `list`, with room for one entry per item of `values` once it gets its first.
template <typename List>
List& reserved(List& list, nb::handle values) {
    if (list.empty() && PyDict_CheckExact(values.ptr()))
        list.reserve(PyDict_GET_SIZE(values.ptr()));
    return list;
}

FieldChanges changed_fields(FieldNames& fields, Storage& stored, nb::handle values) {
    FieldChanges result;
    ChangeTest different;
    result.quiet =
        PyDict_CheckExact(values.ptr()) && PyDict_CheckExact(stored.dict().ptr()) && fields.plain();
    for_each_key(values, [&](nb::handle key, nb::handle value) {
        result.quiet = result.quiet && PyUnicode_CheckExact(key.ptr());
        if (!fields.contain(key)) return;
        different.load();
        bool found = false;
        nb::object current = stored.get(key, fields.found(), found);
        nb::object fresh = value.is_valid() ? nb::borrow(value) : item(values, key);
        if (different(current, fresh)) reserved(result.changed, values).push_back(nb::borrow(key));
        if (!found || current.ptr() != fresh.ptr()) {
            reserved(result.writes, values).emplace_back(nb::borrow(key), std::move(fresh));
        }
    });
    result.quiet = result.quiet && different.quiet;
    return result;
}

// stored.update({key: value for key, value in values.items() if key in fields})
void store_fields(FieldNames& fields, Storage& stored, nb::handle values,
                  const FieldChanges& found) {
    if (found.quiet) {
        // Walking `values` again would pick the very pairs the first pass saw.
        for (const auto& [key, value] : found.writes) set_item(stored.dict(), key, value);
        return;
    }
    fields.rewind();
    stored.rewind();
    nb::object update = attr(stored.dict(), name::update);
    nb::dict picked;
    for_each_item(values, [&](nb::handle key, nb::handle value) {
        if (fields.contain(key)) set_item(picked, key, value);
    });
    call(update, picked);
}

// marks.update(keys)
void add_marks(nb::handle marks, const std::vector<nb::object>& keys) {
    if (!PySet_CheckExact(marks.ptr())) {
        call_method(marks, name::update, set_of(keys));
        return;
    }
    for (const nb::object& key : keys) checked_status(PySet_Add(marks.ptr(), key.ptr()));
}

// The body of `_update_view`, answering the changed keys.
std::vector<nb::object> update_fields(nb::handle obj, nb::handle values, nb::handle changes) {
    FieldNames fields(view_attr(obj, name::fields));
    Storage stored(view_attr(obj, name::_values));
    FieldChanges found = changed_fields(fields, stored, values);
    store_fields(fields, stored, values, found);
    add_marks(marks_of(changes, obj, true), found.changed);
    return std::move(found.changed);
}

// What `self._update_view(...)` answered: the keys our own body found, or whatever a method
// that replaced it returned.
struct Changed {
    std::vector<nb::object> keys;
    nb::object returned;

    bool any() const { return returned.is_valid() ? truthy(returned) : !keys.empty(); }

    // marks.update(changed); `update` is marks.update when looked up ahead, as Python does
    // for a call whose argument is itself a call.
    void add_to(nb::handle marks, nb::handle update = nb::handle()) const {
        if (update.is_valid()) {
            call(update, returned.is_valid() ? returned : set_of(keys));
        } else if (returned.is_valid()) {
            call_method(marks, name::update, returned);
        } else {
            add_marks(marks, keys);
        }
    }
};

// self._update_view, looked up where the plain version looks it up.
class ViewUpdate {
  public:
    explicit ViewUpdate(nb::handle self)
        : own_(finds_own(self, name::_update_view, own_update_view)) {
        if (!own_) method_ = attr(self, name::_update_view);
    }

    Changed operator()(nb::handle obj, nb::handle values, nb::handle changes) const {
        if (own_) return Changed{update_fields(obj, values, changes), nb::object()};
        return Changed{{}, call(method_, obj, values, changes)};
    }

  private:
    bool own_;
    nb::object method_;
};

// ─── _map_view ─────────────────────────────────────────────────────────────────────────────────

nb::object map_item(nb::handle self, nb::handle view, nb::handle key, nb::handle values,
                    nb::handle changes) {
    bool fresh = !in_map(view, key);
    if (fresh) {
        nb::object made = call(attr(view, name::item_type));
        set_item(attr(view, name::_data), key, made);
        set_item(attr(self, name::objects), identity(made), made);
    }
    nb::object view_item = item(attr(view, name::_data), key);
    nb::object marks = marks_of(changes, view);
    nb::object update;
    if (!PySet_CheckExact(marks.ptr())) update = attr(marks, name::update);
    ViewUpdate update_view_of{self};
    update_view_of(view_item, values, changes).add_to(marks, update);
    if (fresh) mark_members(marks);
    return view_item;
}

// self._map_view(view, key, values, changes) with `view` read after the method, as the plain
// version's call reads its arguments; `read_view` reads it, `read_values` the values.
template <typename ReadView, typename ReadValues>
void call_map_view(nb::handle self, ReadView&& read_view, nb::handle key, ReadValues&& read_values,
                   nb::handle changes) {
    bool own = finds_own(self, name::_map_view, own_map_view);
    nb::object method = own ? nb::object() : attr(self, name::_map_view);
    nb::object view = read_view();
    nb::object values = read_values();
    if (own) {
        map_item(self, view, key, values, changes);
    } else {
        call(method, view, key, values, changes);
    }
}

// ─── commit ────────────────────────────────────────────────────────────────────────────────────

// a != b, the operator's own result
nb::object inequality(nb::handle a, nb::handle b) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr())) {
        return nb::borrow(core::same_text(a.ptr(), b.ptr()) ? Py_False : Py_True);
    }
    return checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE));
}

// key not in mapping
bool missing(nb::handle mapping, nb::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        return checked_status(PyDict_Contains(mapping.ptr(), key.ptr())) == 0;
    }
    return !core::contains(mapping, key);
}

// del mapping[key]
void delete_item(nb::handle mapping, nb::handle key) {
    checked_status(PyObject_DelItem(mapping.ptr(), key.ptr()));
}

// Order views whose key left `o` leave the map and the registry.
void drop_orders(nb::handle self, nb::handle changes) {
    nb::object data = attr(attr(self, name::orders), name::_data);
    nb::object records = attr(self, name::o);
    std::vector<nb::object> removed;
    for_each_key(data, [&](nb::handle key, nb::handle) {
        if (missing(records, key)) removed.push_back(nb::borrow(key));
    });
    for (const nb::object& key : removed) {
        nb::object views = attr(attr(self, name::orders), name::_data);
        core::pop(attr(self, name::objects), identity(item(views, key)), nb::none());
        delete_item(attr(attr(self, name::orders), name::_data), key);
    }
    if (!removed.empty()) mark_members(marks_of(changes, attr(self, name::orders)));
}

// Trade views whose key left `t` leave `trade_views`, the trades list (in place) and the
// registry.
void drop_trades(nb::handle self, nb::handle changes) {
    nb::object views = attr(self, name::trade_views);
    nb::object records = attr(self, name::t);
    std::vector<nb::object> gone;
    for_each_key(views, [&](nb::handle key, nb::handle) {
        if (missing(records, key)) gone.push_back(nb::borrow(key));
    });
    if (gone.empty()) return;
    nb::object dropped = checked(PySet_New(nullptr));
    for (const nb::object& key : gone) {
        nb::object view = core::pop(attr(self, name::trade_views), key);
        checked_status(PySet_Add(dropped.ptr(), identity(view).ptr()));
    }
    nb::list kept;
    nb::object iterator = core::iterate(attr(self, name::trades));
    while (nb::object trade = core::next(iterator)) {
        if (!checked_status(PySet_Contains(dropped.ptr(), identity(trade).ptr()))) {
            kept.append(trade);
        }
    }
    nb::object everything = checked(PySlice_New(nullptr, nullptr, nullptr));
    checked_status(PyObject_SetItem(attr(self, name::trades).ptr(), everything.ptr(), kept.ptr()));
    nb::object iterator_of_dropped = core::iterate(dropped);
    while (nb::object key = core::next(iterator_of_dropped)) {
        core::pop(attr(self, name::objects), key, nb::none());
    }
    mark_members(marks_of(changes, attr(self, name::trades)));
}

void publish_positions(nb::handle self, nb::handle changes) {
    for_each_item(attr(self, name::p), [&](nb::handle code, nb::handle record) {
        call_map_view(
            self, [&] { return attr(self, name::positions); }, code,
            [&] { return nb::borrow(record); }, changes);
    });
}

void publish_orders(nb::handle self, nb::handle changes) {
    nb::object records = attr(self, name::o);
    for_each_key(records, [&](nb::handle key, nb::handle value) {
        call_map_view(
            self, [&] { return attr(self, name::orders); }, key,
            [&] {
                // self.o[key]: the value in hand while `self.o` still is the dict walked.
                nb::object now = attr(self, name::o);
                if (value.is_valid() && now.ptr() == records.ptr()) return nb::borrow(value);
                return item(now, key);
            },
            changes);
    });
}

void publish_trades(nb::handle self, nb::handle changes) {
    for_each_item(attr(self, name::t), [&](nb::handle key, nb::handle values) {
        nb::object trade = core::get(attr(self, name::trade_views), key);
        bool fresh = trade.is_none();
        if (fresh) {
            trade = call(global(name::trade_class));
            set_item(attr(self, name::trade_views), key, trade);
            core::append(attr(self, name::trades), trade);
            set_item(attr(self, name::objects), identity(trade), trade);
        }
        ViewUpdate update_view_of{self};
        Changed changed = update_view_of(trade, values, changes);
        if (fresh || changed.any()) {
            nb::object marks = marks_of(changes, attr(self, name::trades));
            changed.add_to(marks);
            if (fresh) mark_members(marks);
        }
    });
}

}  // namespace

nb::object update_view(nb::handle, nb::handle obj, nb::handle values, nb::handle changes) {
    return set_of(update_fields(obj, values, changes));
}

nb::object map_view(nb::handle self, nb::handle view, nb::handle key, nb::handle values,
                    nb::handle changes) {
    return map_item(self, view, key, values, changes);
}

nb::object commit(nb::handle self, nb::handle changes) {
    if (!truthy(attr(self, name::dirty))) return nb::borrow(Py_False);
    set_attr(self, name::dirty, Py_False);
    call_method(attr(self, name::changed), name::clear);
    nb::object status_changed =
        inequality(attr(self, name::published_status), attr(self, name::session_status));
    set_attr(self, name::published_status, attr(self, name::session_status));
    if (core::not_equal(attr(self, name::session_status), name::status_ready)) {
        return status_changed;
    }
    {
        ViewUpdate update(self);
        update(attr(self, name::account), attr(self, name::a), changes);
    }
    drop_orders(self, changes);
    if (truthy(attr(self, name::reset_pending))) drop_trades(self, changes);
    publish_positions(self, changes);
    publish_orders(self, changes);
    publish_trades(self, changes);
    set_attr(self, name::reset_pending, Py_False);
    return nb::borrow(Py_True);
}

nb::object position_view(nb::handle self, nb::handle symbol) {
    if (symbol.is_none()) return attr(self, name::positions);
    call(global(name::check_symbol), symbol);
    if (truthy(attr(self, name::instruments)) &&
        !core::contains(attr(self, name::instruments), symbol)) {
        core::raise(nb::handle(PyExc_ValueError)("合约不存在或不是支持的期货或期权合约"));
    }
    if (!in_map(attr(self, name::positions), symbol)) {
        nb::object make_record = global(name::empty_position);
        nb::object record = call(make_record, symbol, attr(self, name::published_position_time));
        nb::object position = global(name::position_class);
        nb::dict values;
        nb::object iterator = core::iterate(attr(position, name::fields));
        while (nb::object field = core::next(iterator))
            set_item(values, field, item(record, field));
        nb::object view = checked(PyObject_Call(position.ptr(), nb::tuple().ptr(), values.ptr()));
        set_item(attr(attr(self, name::positions), name::_data), symbol, view);
        set_item(attr(self, name::objects), identity(view), view);
        call_method(attr(self, name::p), name::setdefault, symbol, record);
    }
    return checked(PyObject_GetItem(attr(self, name::positions).ptr(), symbol.ptr()));
}

void remember_commit_methods(nb::handle cls) {
    nb::object members = attr(cls, name::dunder_dict);
    own_update_view = item(members, name::_update_view).inc_ref().ptr();
    own_map_view = item(members, name::_map_view).inc_ref().ptr();
    nb::object map_class = global(name::live_map);
    live_map = map_class.inc_ref().ptr();
    auto* map_type = reinterpret_cast<PyTypeObject*>(live_map);
    live_map_contains = Py_XNewRef(_PyType_Lookup(map_type, name::dunder_contains.ptr()));
    live_map_getitem = Py_XNewRef(_PyType_Lookup(map_type, name::dunder_getitem.ptr()));
    object_getattribute =
        Py_NewRef(_PyType_Lookup(&PyBaseObject_Type, name::dunder_getattribute.ptr()));
    data_api = static_cast<const data::CApi*>(PyCapsule_Import(data::c_api_capsule, 0));
    if (data_api == nullptr) throw nb::python_error();
}

}  // namespace zqkit::trading
