#include "decode.hpp"

#include <vector>

#include "arguments.hpp"
#include "call_globals.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "names.hpp"
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
        if (!exact_) return checked(PyObject_CallMethodOneArg(data_, name::get.ptr(), key));
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
        return checked(PyObject_CallMethodNoArgs(data_, name::keys.ptr()));
    }

  private:
    PyObject* data_;
    bool exact_;
};

constexpr std::size_t kInlineFields = 16;
using Values = SmallObjects<kInlineFields>;

// One of the module's own tables as built at import, with the result dict it produces.
struct Layout {
    PyObject* table = nullptr;
    std::vector<PyObject*> entries;  // wire key, name, ...; strong references, never released
    PyObject* result = nullptr;      // the result's keys in order, every value None
};

Layout bar_layout;
Layout quote_layout;

Layout build_layout(nb::dict table, bool quote) {
    Layout layout;
    layout.table = table.inc_ref().ptr();
    nb::object result = checked(PyDict_New());
    checked_status(PyDict_SetItem(result.ptr(), name::timestamp.ptr(), Py_None));
    checked_status(PyDict_SetItem(result.ptr(), name::trading_day.ptr(), Py_None));
    for (auto [key, name] : table) {
        layout.entries.push_back(key.inc_ref().ptr());
        layout.entries.push_back(name.inc_ref().ptr());
        checked_status(PyDict_SetItem(result.ptr(), name.ptr(), Py_None));
    }
    if (quote) {
        checked_status(PyDict_SetItem(result.ptr(), name::bids.ptr(), Py_None));
        checked_status(PyDict_SetItem(result.ptr(), name::asks.ptr(), Py_None));
    }
    layout.result = result.release().ptr();
    return layout;
}

// The (wire key, name) pairs of the table in use, in order: the layout's own while the table is
// as built, else read from the table once for this call.
class Fields {
  public:
    explicit Fields(const Layout& layout)
        : fixed_(layout.entries.data()), count_(layout.entries.size() / 2) {}

    explicit Fields(PyObject* table) {
        if (PyDict_Check(table)) {
            Py_ssize_t position = 0;
            PyObject* key;
            PyObject* name;
            while (PyDict_Next(table, &position, &key, &name))
                add(nb::borrow(key), nb::borrow(name));
        } else {
            nb::object items = checked(PyObject_CallMethod(table, "items", nullptr));
            nb::object iterator = checked(PyObject_GetIter(items.ptr()));
            while (PyObject* raw = PyIter_Next(iterator.ptr())) {
                nb::object pair = nb::steal(raw);
                add(checked(PySequence_GetItem(pair.ptr(), 0)),
                    checked(PySequence_GetItem(pair.ptr(), 1)));
            }
            if (PyErr_Occurred()) throw nb::python_error();
        }
    }

    std::size_t count() const { return count_; }
    PyObject* key(std::size_t i) const { return fixed_ ? fixed_[2 * i] : owned_[2 * i]; }
    PyObject* name(std::size_t i) const { return fixed_ ? fixed_[2 * i + 1] : owned_[2 * i + 1]; }

  private:
    void add(nb::object key, nb::object name) {
        owned_.push_back(std::move(key));
        owned_.push_back(std::move(name));
        ++count_;
    }

    PyObject* const* fixed_ = nullptr;
    SmallObjects<2 * kInlineFields> owned_;
    std::size_t count_ = 0;
};

// A new result holding the timestamp, the trading day and the converted fields, in that order;
// a copy of the layout's prepared dict while the table is as built.
nb::object new_result(const Layout* layout, const Fields& fields, PyObject* t, PyObject* d,
                      const Values& values) {
    nb::object result = checked(layout ? PyDict_Copy(layout->result) : PyDict_New());
    checked_status(PyDict_SetItem(result.ptr(), name::timestamp.ptr(), t));
    checked_status(PyDict_SetItem(result.ptr(), name::trading_day.ptr(), d));
    for (std::size_t i = 0; i < values.size(); ++i) {
        checked_status(PyDict_SetItem(result.ptr(), fields.name(i), values[i]));
    }
    return result;
}

constexpr const char* kOtherChannel = "行情数据的合约与订阅频道不一致";
constexpr const char* kBadTime = "行情时间戳或交易日无效";
constexpr const char* kMissingFields = "行情消息缺少必要字段";
constexpr const char* kBadBook = "行情盘口格式无效";
constexpr const char* kBadLevel = "行情盘口档位无效";
constexpr const char* kNoPrice = "行情盘口缺少价格";

// A rejection: the ZqError is left pending and an empty object goes back up to the entry point.
nb::object rejected(const char* message) {
    set_zq_error(message);
    return nb::object();
}

bool rejected_flag(const char* message) {
    set_zq_error(message);
    return false;
}

// Every field is converted before the result exists, so a failure leaves nothing behind.
bool field_values(const Item& item, PyObject* data, const Fields& fields, CallGlobals& globals,
                  Values& values) {
    const std::size_t count = fields.count();
    if (PyDict_CheckExact(data) && globals.number_is_native()) {
        // One lookup per key: the presence test and the read at once, nothing converted before
        // every key is known to be there.
        Values raw;
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* value = PyDict_GetItemWithError(data, fields.key(i));
            if (value == nullptr) {
                if (PyErr_Occurred()) throw nb::python_error();
                return rejected_flag(kMissingFields);
            }
            raw.push_back(nb::borrow(value));
        }
        for (std::size_t i = 0; i < count; ++i) {
            PyObject* value = number_value(raw[i], globals);
            if (value == nullptr) return false;
            values.push_back(nb::steal(value));
        }
        return true;
    }
    nb::object keys = item.keys();
    for (std::size_t i = 0; i < count; ++i) {
        if (!checked_status(PySequence_Contains(keys.ptr(), fields.key(i)))) {
            return rejected_flag(kMissingFields);
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        nb::object raw = item.at(fields.key(i));
        PyObject* value = globals.number(raw.ptr());
        if (value == nullptr) return false;
        values.push_back(nb::steal(value));
    }
    return true;
}

bool same_channel(PyObject* data, PyObject* symbol) {
    if (!PyDict_Check(data)) return rejected_flag(kOtherChannel);
    nb::object item_symbol = Item(data).get(name::s.ptr());
    if (PyUnicode_CheckExact(item_symbol.ptr()) && PyUnicode_CheckExact(symbol)) {
        return PyUnicode_Compare(item_symbol.ptr(), symbol) == 0 || rejected_flag(kOtherChannel);
    }
    nb::object unequal = checked(PyObject_RichCompare(item_symbol.ptr(), symbol, Py_NE));
    return !core::truthy(unequal) || rejected_flag(kOtherChannel);
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
    if (!PyList_Check(level)) return rejected(kBadLevel);
    nb::object price_value;
    nb::object volume;
    if (PyList_CheckExact(level)) {
        if (PyList_GET_SIZE(level) != 2) return rejected(kBadLevel);
        price_value = nb::borrow(PyList_GET_ITEM(level, 0));
        volume = nb::borrow(PyList_GET_ITEM(level, 1));
    } else {
        const Py_ssize_t size = PyObject_Length(level);
        if (size < 0) throw nb::python_error();
        if (size != 2) return rejected(kBadLevel);
        volume = checked(PySequence_GetItem(level, 1));
    }
    if (!PyLong_CheckExact(volume.ptr())) return rejected(kBadLevel);
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(volume.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && count <= 0)) return rejected(kBadLevel);
    if (!price_value.is_valid()) price_value = checked(PySequence_GetItem(level, 0));
    PyObject* converted = globals.number(price_value.ptr());
    if (converted == nullptr) return nb::object();
    nb::object price = nb::steal(converted);
    if (globals.isnan(price.ptr())) return rejected(kNoPrice);
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) throw nb::python_error();
    PyTuple_SET_ITEM(pair, 0, price.release().ptr());
    PyTuple_SET_ITEM(pair, 1, volume.release().ptr());
    return nb::steal(pair);
}

// A list holding the levels' tuples, made once their number is known.
nb::object level_list(const SmallObjects<kMostLevels>& tuples) {
    PyObject* side = PyList_New(static_cast<Py_ssize_t>(tuples.size()));
    if (side == nullptr) throw nb::python_error();
    for (std::size_t i = 0; i < tuples.size(); ++i) {
        Py_INCREF(tuples[i]);
        PyList_SET_ITEM(side, static_cast<Py_ssize_t>(i), tuples[i]);
    }
    return nb::steal(side);
}

nb::object book_side(const Item& item, PyObject* wire_key, CallGlobals& globals) {
    nb::object levels = item.get(wire_key);
    if (!PyList_Check(levels.ptr())) return rejected(kBadBook);
    SmallObjects<kMostLevels> tuples;
    if (PyList_CheckExact(levels.ptr())) {
        if (PyList_GET_SIZE(levels.ptr()) > kMostLevels) return rejected(kBadBook);
        // Indexing afresh each round reads the list as its iterator would.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(levels.ptr()); ++i) {
            nb::object level = nb::borrow(PyList_GET_ITEM(levels.ptr(), i));
            nb::object pair = level_tuple(level.ptr(), globals);
            if (!pair.is_valid()) return pair;
            tuples.push_back(std::move(pair));
        }
        return level_list(tuples);
    }
    const Py_ssize_t count = PyObject_Length(levels.ptr());
    if (count < 0) throw nb::python_error();
    if (count > kMostLevels) return rejected(kBadBook);
    nb::object iterator = checked(PyObject_GetIter(levels.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object level = nb::steal(raw);
        nb::object pair = level_tuple(level.ptr(), globals);
        if (!pair.is_valid()) return pair;
        tuples.push_back(std::move(pair));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return level_list(tuples);
}

// The parsed item as a new result dict, or an empty object with the ZqError pending.
// Flattened: extension modules are built for size, which leaves nanobind's reference-count helpers
// out of line, and on this per-message path those calls would cost more than the checks.
[[gnu::flatten]] nb::object decode_item(PyObject* data, PyObject* symbol, PyObject* quote) {
    if (!same_channel(data, symbol)) return nb::object();
    const Item item(data);
    CallGlobals globals;

    nb::object t = item.get(name::t.ptr());
    nb::object d = item.get(name::d.ptr());
    if (!timestamp_in_range(t.ptr()) || !PyUnicode_Check(d.ptr()) ||
        !globals.fullmatch(trading_day_pattern(), d.ptr(), trading_day_matches)) {
        return rejected(kBadTime);
    }

    const bool is_quote = core::truthy(quote);
    bool as_built = false;
    nb::object table = globals.table(is_quote, as_built);
    const Layout* layout = as_built ? (is_quote ? &quote_layout : &bar_layout) : nullptr;
    const Fields fields = layout ? Fields(*layout) : Fields(table.ptr());
    Values values;
    if (!field_values(item, data, fields, globals, values)) return nb::object();
    if (!core::truthy(quote)) return new_result(layout, fields, t.ptr(), d.ptr(), values);
    nb::object bids = book_side(item, name::b.ptr(), globals);
    if (!bids.is_valid()) return bids;
    nb::object asks = book_side(item, name::a.ptr(), globals);
    if (!asks.is_valid()) return asks;
    nb::object result = new_result(layout, fields, t.ptr(), d.ptr(), values);
    checked_status(PyDict_SetItem(result.ptr(), name::bids.ptr(), bids.ptr()));
    checked_status(PyDict_SetItem(result.ptr(), name::asks.ptr(), asks.ptr()));
    return result;
}

}  // namespace

namespace {

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

bool table_as_built(PyObject* table, bool quote) {
    const Layout& layout = quote ? quote_layout : bar_layout;
    if (table != layout.table) return false;
    const Fields fields(table);
    if (2 * fields.count() != layout.entries.size()) return false;
    for (std::size_t i = 0; i < fields.count(); ++i) {
        if (fields.key(i) != layout.entries[2 * i] || fields.name(i) != layout.entries[2 * i + 1]) {
            return false;
        }
    }
    return true;
}

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
