#include "decode.hpp"

#include <vector>

#include "arguments.hpp"
#include "call_globals.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "native.hpp"
#include "small_objects.hpp"
#include "state.hpp"
#include "validation.hpp"

namespace zqkit::data {

namespace {

constexpr Py_ssize_t kMostLevels = 5;

// The parsed item. JSON gives exact dicts, read directly; a dict subclass is read through its own
// methods, as Python code would read it.
class Item {
  public:
    explicit Item(PyObject* data) : data_(data), exact_(PyDict_CheckExact(data)) {}

    // data.get(key)
    nb::object get(PyObject* key) const {
        if (!exact_) return checked(PyObject_CallMethodOneArg(data_, names().get, key));
        PyObject* value = PyDict_GetItemWithError(data_, key);
        if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(value == nullptr ? Py_None : value);
    }

    // data[key]
    nb::object at(PyObject* key) const {
        if (!exact_) return checked(PyObject_GetItem(data_, key));
        PyObject* value = PyDict_GetItemWithError(data_, key);
        if (value != nullptr) return nb::borrow(value);
        if (!PyErr_Occurred()) {
            nb::object error = checked(PyObject_CallOneArg(PyExc_KeyError, key));
            raise_instance(error);
        }
        throw nb::python_error();
    }

    // The item's key set, for the subset test against a table.
    nb::object keys() const {
        if (exact_) return nb::borrow(data_);
        return checked(PyObject_CallMethodNoArgs(data_, names().keys));
    }

  private:
    PyObject* data_;
    bool exact_;
};

constexpr std::size_t kInlineFields = 16;
using Entries = SmallObjects<2 * kInlineFields>;  // wire key, name, wire key, name, ...
using Values = SmallObjects<kInlineFields>;

// The (wire key, name) pairs of a table, in order, read once per call.
Entries table_entries(PyObject* table) {
    Entries entries;
    if (PyDict_Check(table)) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* name;
        while (PyDict_Next(table, &position, &key, &name)) {
            entries.push_back(nb::borrow(key));
            entries.push_back(nb::borrow(name));
        }
        return entries;
    }
    nb::object items = checked(PyObject_CallMethod(table, "items", nullptr));
    nb::object iterator = checked(PyObject_GetIter(items.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object pair = nb::steal(raw);
        entries.push_back(checked(PySequence_GetItem(pair.ptr(), 0)));
        entries.push_back(checked(PySequence_GetItem(pair.ptr(), 1)));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return entries;
}

std::size_t field_count(const Entries& entries) {
    return entries.size() / 2;
}
PyObject* wire_key(const Entries& entries, std::size_t i) {
    return entries[2 * i];
}
PyObject* field_name(const Entries& entries, std::size_t i) {
    return entries[2 * i + 1];
}

// One of the module's own tables as built at import, with the result dict it produces.
struct Layout {
    PyObject* table = nullptr;
    std::vector<PyObject*> entries;  // strong references, so no address is ever reused
    PyObject* result = nullptr;      // the result's keys in order, every value None
};

Layout bar_layout;
Layout quote_layout;

Layout build_layout(nb::dict table, bool quote) {
    Layout layout;
    layout.table = table.inc_ref().ptr();
    nb::object result = checked(PyDict_New());
    checked_status(PyDict_SetItem(result.ptr(), names().timestamp, Py_None));
    checked_status(PyDict_SetItem(result.ptr(), names().trading_day, Py_None));
    for (auto [key, name] : table) {
        layout.entries.push_back(key.inc_ref().ptr());
        layout.entries.push_back(name.inc_ref().ptr());
        checked_status(PyDict_SetItem(result.ptr(), name.ptr(), Py_None));
    }
    if (quote) {
        checked_status(PyDict_SetItem(result.ptr(), names().bids, Py_None));
        checked_status(PyDict_SetItem(result.ptr(), names().asks, Py_None));
    }
    layout.result = result.release().ptr();
    return layout;
}

// True while `table` is the layout's table with exactly the entries it was built with.
bool layout_holds(const Layout& layout, PyObject* table, const Entries& entries) {
    if (table != layout.table || entries.size() != layout.entries.size()) return false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] != layout.entries[i]) return false;
    }
    return true;
}

// A new result holding the timestamp, the trading day and the converted fields, in that order.
nb::object new_result(const Layout& layout, PyObject* table, const Entries& entries, PyObject* t,
                      PyObject* d, const Values& values) {
    nb::object result =
        checked(layout_holds(layout, table, entries) ? PyDict_Copy(layout.result) : PyDict_New());
    checked_status(PyDict_SetItem(result.ptr(), names().timestamp, t));
    checked_status(PyDict_SetItem(result.ptr(), names().trading_day, d));
    for (std::size_t i = 0; i < values.size(); ++i) {
        checked_status(PyDict_SetItem(result.ptr(), field_name(entries, i), values[i]));
    }
    return result;
}

[[noreturn]] void raise_missing_fields() {
    raise_zq_error("行情消息缺少必要字段");
}

// Every field is converted before the result exists, so a failure leaves nothing behind.
Values field_values(const Item& item, PyObject* data, const Entries& entries,
                    CallGlobals& globals) {
    const std::size_t count = field_count(entries);
    Values values;
    if (PyDict_CheckExact(data) && globals.number_is_native()) {
        // One lookup per key: the presence test and the read at once, nothing converted before
        // every key is known to be there.
        Values raw;
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* value = PyDict_GetItemWithError(data, wire_key(entries, i));
            if (value == nullptr) {
                if (PyErr_Occurred()) throw nb::python_error();
                raise_missing_fields();
            }
            raw.push_back(nb::borrow(value));
        }
        for (std::size_t i = 0; i < count; ++i) values.push_back(number_value(raw[i], globals));
        return values;
    }
    nb::object keys = item.keys();
    for (std::size_t i = 0; i < count; ++i) {
        if (!checked_status(PySequence_Contains(keys.ptr(), wire_key(entries, i)))) {
            raise_missing_fields();
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        nb::object raw = item.at(wire_key(entries, i));
        values.push_back(globals.number(raw.ptr()));
    }
    return values;
}

bool is_true(PyObject* value) {
    if (value == Py_True) return true;
    if (value == Py_False) return false;
    return checked_status(PyObject_IsTrue(value)) != 0;
}

void check_channel(PyObject* data, PyObject* symbol) {
    if (!PyDict_Check(data)) raise_zq_error("行情数据的合约与订阅频道不一致");
    nb::object item_symbol = Item(data).get(names().s);
    if (PyUnicode_CheckExact(item_symbol.ptr()) && PyUnicode_CheckExact(symbol)) {
        if (PyUnicode_Compare(item_symbol.ptr(), symbol) == 0) return;
        raise_zq_error("行情数据的合约与订阅频道不一致");
    }
    nb::object unequal = checked(PyObject_RichCompare(item_symbol.ptr(), symbol, Py_NE));
    if (is_true(unequal.ptr())) raise_zq_error("行情数据的合约与订阅频道不一致");
}

bool timestamp_in_range(PyObject* t) {
    if (!PyLong_CheckExact(t)) return false;
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(t, &overflow);
    if (value == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow == 0 && value >= 0;
}

// A level is [price, volume]: the volume an exact int of at least 1, the price a known number.
nb::object level_tuple(PyObject* level, CallGlobals& globals) {
    if (!PyList_Check(level)) raise_zq_error("行情盘口档位无效");
    nb::object price_value;
    nb::object volume;
    if (PyList_CheckExact(level)) {
        if (PyList_GET_SIZE(level) != 2) raise_zq_error("行情盘口档位无效");
        price_value = nb::borrow(PyList_GET_ITEM(level, 0));
        volume = nb::borrow(PyList_GET_ITEM(level, 1));
    } else {
        const Py_ssize_t size = PyObject_Length(level);
        if (size < 0) throw nb::python_error();
        if (size != 2) raise_zq_error("行情盘口档位无效");
        volume = checked(PySequence_GetItem(level, 1));
    }
    if (!PyLong_CheckExact(volume.ptr())) raise_zq_error("行情盘口档位无效");
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(volume.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && count <= 0)) raise_zq_error("行情盘口档位无效");
    if (!price_value.is_valid()) price_value = checked(PySequence_GetItem(level, 0));
    nb::object price = globals.number(price_value.ptr());
    if (globals.isnan(price.ptr())) raise_zq_error("行情盘口缺少价格");
    return checked(PyTuple_Pack(2, price.ptr(), volume.ptr()));
}

nb::object book_side(const Item& item, PyObject* wire_key, CallGlobals& globals) {
    nb::object levels = item.get(wire_key);
    if (!PyList_Check(levels.ptr())) raise_zq_error("行情盘口格式无效");
    if (PyList_CheckExact(levels.ptr())) {
        if (PyList_GET_SIZE(levels.ptr()) > kMostLevels) raise_zq_error("行情盘口格式无效");
        nb::object side = checked(PyList_New(0));
        // Indexing afresh each round reads the list as its iterator would.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(levels.ptr()); ++i) {
            nb::object level = nb::borrow(PyList_GET_ITEM(levels.ptr(), i));
            checked_status(PyList_Append(side.ptr(), level_tuple(level.ptr(), globals).ptr()));
        }
        return side;
    }
    const Py_ssize_t count = PyObject_Length(levels.ptr());
    if (count < 0) throw nb::python_error();
    if (count > kMostLevels) raise_zq_error("行情盘口格式无效");
    nb::object side = checked(PyList_New(0));
    nb::object iterator = checked(PyObject_GetIter(levels.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object level = nb::steal(raw);
        checked_status(PyList_Append(side.ptr(), level_tuple(level.ptr(), globals).ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return side;
}

nb::object decode_item(PyObject* data, PyObject* symbol, PyObject* quote) {
    check_channel(data, symbol);
    const Item item(data);
    CallGlobals globals;

    nb::object t = item.get(names().t);
    nb::object d = item.get(names().d);
    if (!timestamp_in_range(t.ptr()) || !PyUnicode_Check(d.ptr()) ||
        !globals.fullmatch(trading_day_pattern(), d.ptr(), trading_day_matches)) {
        raise_zq_error("行情时间戳或交易日无效");
    }

    const bool is_quote = is_true(quote);
    nb::object table = module_global(is_quote ? names().quote_fields : names().bar_fields);
    const Entries entries = table_entries(table.ptr());
    const Values values = field_values(item, data, entries, globals);
    if (!is_true(quote)) {
        return new_result(bar_layout, table.ptr(), entries, t.ptr(), d.ptr(), values);
    }
    nb::object bids = book_side(item, names().b, globals);
    nb::object asks = book_side(item, names().a, globals);
    nb::object result = new_result(quote_layout, table.ptr(), entries, t.ptr(), d.ptr(), values);
    checked_status(PyDict_SetItem(result.ptr(), names().bids, bids.ptr()));
    checked_status(PyDict_SetItem(result.ptr(), names().asks, asks.ptr()));
    return result;
}

const Signature kDecode{"decode", {"data", "symbol", "quote"}, 2, 2};

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[3];
        if (!bind_arguments(kDecode, args, nargs, kwnames, bound)) throw nb::python_error();
        return decode_item(bound[0], bound[1], bound[2] == nullptr ? Py_False : bound[2]);
    });
}

PyMethodDef decode_def{"decode", as_cfunction(decode), METH_FASTCALL | METH_KEYWORDS,
                       "decode(data, symbol, *, quote=False)\n--\n\n"
                       "Validate a complete message before exposing any of its fields."};

}  // namespace

void remember_tables(nb::dict bar_fields, nb::dict quote_fields) {
    bar_layout = build_layout(bar_fields, false);
    quote_layout = build_layout(quote_fields, true);
}

nb::object create_decode() {
    nb::object function = native_function(&decode_def);
    state().decode = function.inc_ref().ptr();
    return function;
}

}  // namespace zqkit::data
