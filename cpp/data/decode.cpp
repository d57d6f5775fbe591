#include "decode.hpp"

#include "arguments.hpp"
#include "call_globals.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "native.hpp"
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

// Visits the (wire key, name) pairs of a table in order.
template <class Visit>
void for_each_entry(PyObject* table, Visit&& visit) {
    if (PyDict_Check(table)) {
        Py_ssize_t position = 0;
        PyObject* key;
        PyObject* name;
        while (PyDict_Next(table, &position, &key, &name)) {
            nb::object held_key = nb::borrow(key);
            nb::object held_name = nb::borrow(name);
            visit(held_key.ptr(), held_name.ptr());
        }
        return;
    }
    nb::object items = checked(PyObject_CallMethod(table, "items", nullptr));
    nb::object iterator = checked(PyObject_GetIter(items.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object pair = nb::steal(raw);
        nb::object key = checked(PySequence_GetItem(pair.ptr(), 0));
        nb::object name = checked(PySequence_GetItem(pair.ptr(), 1));
        visit(key.ptr(), name.ptr());
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

bool table_keys_present(PyObject* table, const Item& item) {
    nb::object keys = item.keys();
    bool present = true;
    for_each_entry(table, [&](PyObject* key, PyObject*) {
        if (present && !checked_status(PySequence_Contains(keys.ptr(), key))) present = false;
    });
    return present;
}

bool is_true(PyObject* value) {
    return checked_status(PyObject_IsTrue(value)) != 0;
}

void check_channel(PyObject* data, PyObject* symbol) {
    if (!PyDict_Check(data)) raise_zq_error("行情数据的合约与订阅频道不一致");
    nb::object item_symbol = Item(data).get(names().s);
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
    nb::object side = checked(PyList_New(0));
    if (PyList_CheckExact(levels.ptr())) {
        if (PyList_GET_SIZE(levels.ptr()) > kMostLevels) raise_zq_error("行情盘口格式无效");
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
    nb::object result = checked(PyDict_New());
    checked_status(PyDict_SetItem(result.ptr(), names().timestamp, t.ptr()));
    checked_status(PyDict_SetItem(result.ptr(), names().trading_day, d.ptr()));

    nb::object table = module_global(is_true(quote) ? names().quote_fields : names().bar_fields);
    if (!table_keys_present(table.ptr(), item)) raise_zq_error("行情消息缺少必要字段");
    // Every field is converted before any lands in the result; a failure leaves nothing behind.
    nb::object values = checked(PyDict_New());
    for_each_entry(table.ptr(), [&](PyObject* wire_key, PyObject* name) {
        nb::object raw = item.at(wire_key);
        nb::object value = globals.number(raw.ptr());
        checked_status(PyDict_SetItem(values.ptr(), name, value.ptr()));
    });
    checked_status(PyDict_Update(result.ptr(), values.ptr()));

    if (is_true(quote)) {
        nb::object bids = book_side(item, names().b, globals);
        checked_status(PyDict_SetItem(result.ptr(), names().bids, bids.ptr()));
        nb::object asks = book_side(item, names().a, globals);
        checked_status(PyDict_SetItem(result.ptr(), names().asks, asks.ptr()));
    }
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

nb::object create_decode() {
    nb::object function = native_function(&decode_def);
    state().decode = function.inc_ref().ptr();
    return function;
}

}  // namespace zqkit::data
