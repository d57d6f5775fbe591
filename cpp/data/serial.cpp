#include "serial.hpp"

#include <vector>

#include "arguments.hpp"
#include "call_globals.hpp"
#include "entry.hpp"
#include "errors.hpp"
#include "names.hpp"
#include "native.hpp"
#include "state.hpp"

namespace zqkit::data {

namespace {

using Row = std::vector<nb::object>;

constexpr const char* kTampered = "不能修改 SDK 内部 K 线的列、索引或行数";

nb::object get(nb::handle object, PyObject* name) {
    return checked(PyObject_GetAttr(object.ptr(), name));
}

void set(nb::handle object, PyObject* name, nb::handle value) {
    checked_status(PyObject_SetAttr(object.ptr(), name, value.ptr()));
}

nb::object item(nb::handle mapping, nb::handle key) {
    return checked(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

nb::object call(nb::handle callable, std::initializer_list<PyObject*> args,
                PyObject* keyword = nullptr, PyObject* keyword_value = nullptr) {
    std::vector<PyObject*> stack(args);
    nb::object kwnames;
    if (keyword != nullptr) {
        stack.push_back(keyword_value);
        kwnames = checked(PyTuple_Pack(1, keyword));
    }
    const size_t positional = args.size();
    return checked(PyObject_Vectorcall(callable.ptr(), stack.data(), positional, kwnames.ptr()));
}

[[noreturn]] void raise_tampered() {
    PyErr_SetString(PyExc_RuntimeError, kTampered);
    throw nb::python_error();
}

// The names BAR_COLUMNS holds at this call.
std::vector<nb::object> bar_columns() {
    nb::object columns = module_global(name::bar_columns.ptr());
    nb::object iterator = checked(PyObject_GetIter(columns.ptr()));
    std::vector<nb::object> result;
    while (PyObject* name = PyIter_Next(iterator.ptr())) result.push_back(nb::steal(name));
    if (PyErr_Occurred()) throw nb::python_error();
    return result;
}

// Refuses a frame whose row count, index or own columns the user has changed; extra columns pass.
void check_layout(nb::handle frame, nb::handle length, nb::handle pd,
                  const std::vector<nb::object>& columns) {
    const Py_ssize_t rows = PyObject_Length(frame.ptr());
    if (rows < 0) throw nb::python_error();
    nb::object row_count = checked(PyLong_FromSsize_t(rows));
    if (core::truthy(checked(PyObject_RichCompare(row_count.ptr(), length.ptr(), Py_NE)))) {
        raise_tampered();
    }
    nb::object expected = call(get(pd, name::range_index.ptr()), {length.ptr()});
    nb::object index = get(frame, name::index.ptr());
    if (!core::truthy(call(get(index, name::equals.ptr()), {expected.ptr()}))) raise_tampered();
    nb::object labels = get(frame, name::columns.ptr());
    if (!core::truthy(get(labels, name::is_unique.ptr()))) raise_tampered();
    for (const nb::object& column : columns) {
        if (!checked_status(PySequence_Contains(labels.ptr(), column.ptr()))) raise_tampered();
    }
}

// A cell read gives numpy scalars; the row's to_dict() would give Python ones. Every numpy float
// counts: a column the user recast to float32 must still compare its NaN as unchanged.
nb::object python_scalar(nb::object value) {
    PyObject* raw = value.ptr();
    if (PyFloat_Check(raw) && !PyFloat_CheckExact(raw)) {
        return checked(PyFloat_FromDouble(PyFloat_AS_DOUBLE(raw)));
    }
    if (PyLong_CheckExact(raw) || PyFloat_CheckExact(raw) || PyUnicode_CheckExact(raw))
        return value;
    if (checked_status(PyObject_IsInstance(raw, state().numpy_floating))) {
        return checked(PyNumber_Float(raw));
    }
    if (checked_status(PyObject_IsInstance(raw, state().numpy_integer))) {
        return checked(PyNumber_Index(raw));
    }
    if (checked_status(PyObject_IsInstance(raw, state().numpy_bool))) {
        return nb::borrow(core::truthy(value) ? Py_True : Py_False);
    }
    return value;
}

// The last row's values of the series' own columns, in column order.
Row last_row(nb::handle frame, const std::vector<nb::object>& columns) {
    nb::object labels = get(frame, name::columns.ptr());
    nb::object get_loc = get(labels, name::get_loc.ptr());
    nb::object cells = get(frame, name::iat.ptr());
    nb::object last = checked(PyLong_FromLong(-1));
    Row row;
    row.reserve(columns.size());
    for (const nb::object& column : columns) {
        nb::object position = call(get_loc, {column.ptr()});
        nb::object key = checked(PyTuple_Pack(2, last.ptr(), position.ptr()));
        row.push_back(python_scalar(item(cells, key)));
    }
    return row;
}

nb::object changed_set(const std::vector<nb::object>& columns, const Row& before, const Row& after,
                       CallGlobals& globals) {
    nb::object changed = checked(PySet_New(nullptr));
    for (size_t i = 0; i < columns.size(); ++i) {
        if (globals.different(before[i].ptr(), after[i].ptr())) {
            checked_status(PySet_Add(changed.ptr(), columns[i].ptr()));
        }
    }
    return changed;
}

// Bars keyed by their timestamps, in iteration order; the last of equal timestamps wins.
nb::object bars_by_time(nb::handle bars) {
    nb::object updates = checked(PyDict_New());
    nb::object iterator = checked(PyObject_GetIter(bars.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object bar = nb::steal(raw);
        nb::object timestamp = checked(PyObject_GetItem(bar.ptr(), name::timestamp.ptr()));
        checked_status(PyDict_SetItem(updates.ptr(), timestamp.ptr(), bar.ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return updates;
}

// Writes cells of the last row through `frame.at`; on a failed write the cells already written
// get their old values back, so the row is never left half revised.
void write_cells(nb::handle frame, nb::handle last, const std::vector<size_t>& targets,
                 const std::vector<nb::object>& columns, const Row& values, const Row& before) {
    nb::object cells = get(frame, name::at.ptr());
    size_t written = 0;
    try {
        for (; written < targets.size(); ++written) {
            const size_t i = targets[written];
            nb::object key = checked(PyTuple_Pack(2, last.ptr(), columns[i].ptr()));
            checked_status(PyObject_SetItem(cells.ptr(), key.ptr(), values[i].ptr()));
        }
    } catch (nb::python_error&) {
        for (size_t k = 0; k < written; ++k) {
            const size_t i = targets[k];
            PyObject* key = PyTuple_Pack(2, last.ptr(), columns[i].ptr());
            if (key == nullptr || PyObject_SetItem(cells.ptr(), key, before[i].ptr()) < 0) {
                PyErr_WriteUnraisable(frame.ptr());
            }
            Py_XDECREF(key);
        }
        throw;
    }
}

// The one bar shown last is revised: only the cells that differ are written.
nb::object revise_last(nb::handle self, nb::handle frame, nb::handle length, nb::handle latest,
                       nb::handle bar, const std::vector<nb::object>& columns, const Row& before,
                       CallGlobals& globals) {
    Row values;
    values.reserve(columns.size());
    std::vector<size_t> targets;
    for (size_t i = 0; i < columns.size(); ++i) {
        values.push_back(item(bar, columns[i]));
        if (globals.different(before[i].ptr(), values[i].ptr())) targets.push_back(i);
    }
    nb::object one = checked(PyLong_FromLong(1));
    nb::object last = checked(PyNumber_Subtract(length.ptr(), one.ptr()));
    write_cells(frame, last, targets, columns, values, before);
    checked_status(PyObject_SetItem(get(self, name::bars.ptr()).ptr(), latest.ptr(), bar.ptr()));

    nb::object changed = checked(PySet_New(nullptr));
    for (size_t i : targets) checked_status(PySet_Add(changed.ptr(), columns[i].ptr()));
    return changed;
}

// The bars to keep: the newest `length` of the known bars merged with `updates`, oldest first.
nb::object retained_bars(nb::handle known, nb::handle updates, nb::handle length) {
    nb::object merged =
        PyDict_CheckExact(known.ptr())
            ? checked(PyDict_Copy(known.ptr()))
            : call(nb::handle(reinterpret_cast<PyObject*>(&PyDict_Type)), {known.ptr()});
    checked_status(PyDict_Update(merged.ptr(), updates.ptr()));
    nb::object times = checked(PySequence_List(merged.ptr()));
    checked_status(PyList_Sort(times.ptr()));
    nb::object newest = checked(PyNumber_Negative(length.ptr()));
    nb::object window = checked(PySlice_New(newest.ptr(), nullptr, nullptr));
    times = item(times, window);
    nb::object retained = checked(PyDict_New());
    nb::object iterator = checked(PyObject_GetIter(times.ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object timestamp = nb::steal(raw);
        checked_status(
            PyDict_SetItem(retained.ptr(), timestamp.ptr(), item(merged, timestamp).ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return retained;
}

struct ColumnKind {
    nb::object fill;
    nb::object dtype;
};

ColumnKind column_kind(nb::handle column, CallGlobals& globals) {
    if (checked_status(PyObject_RichCompareBool(column.ptr(), name::timestamp.ptr(), Py_EQ))) {
        return {checked(PyLong_FromLong(0)), nb::borrow(name::int64.ptr())};
    }
    if (checked_status(PyObject_RichCompareBool(column.ptr(), name::trading_day.ptr(), Py_EQ))) {
        // An explicit object dtype: left to infer, pandas would choose its string dtype.
        return {nb::str(""), nb::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type))};
    }
    return {globals.nan(), nb::borrow(name::float64.ptr())};
}

// One new column: `count` fill values, then the column's value of each retained bar.
nb::object column_series(nb::handle pd, nb::handle index, nb::handle column, nb::handle count,
                         nb::handle retained, CallGlobals& globals) {
    ColumnKind kind = column_kind(column, globals);
    nb::object fill = checked(PyList_New(1));
    PyList_SET_ITEM(fill.ptr(), 0, kind.fill.inc_ref().ptr());
    nb::object values = checked(PySequence_Repeat(fill.ptr(), PyLong_AsSsize_t(count.ptr())));
    Py_ssize_t position = 0;
    PyObject* timestamp;
    PyObject* bar;
    while (PyDict_Next(retained.ptr(), &position, &timestamp, &bar)) {
        checked_status(PyList_Append(values.ptr(), item(bar, column).ptr()));
    }
    nb::object make_series = get(pd, name::series.ptr());
    PyObject* args[] = {values.ptr(), index.ptr(), kind.dtype.ptr()};
    nb::object kwnames = checked(PyTuple_Pack(2, name::index.ptr(), name::dtype.ptr()));
    return checked(PyObject_Vectorcall(make_series.ptr(), args, 1, kwnames.ptr()));
}

// Every new column is built before anything is replaced: a bar that cannot be stored (a missing
// key, timestamps that do not sort, a timestamp int64 cannot hold) leaves the series as it was.
nb::object rebuild(nb::handle self, nb::handle frame, nb::handle length, nb::handle pd,
                   nb::handle updates, const std::vector<nb::object>& columns, const Row& before,
                   CallGlobals& globals) {
    nb::object retained = retained_bars(get(self, name::bars.ptr()), updates, length);
    nb::object kept = checked(PyLong_FromSsize_t(PyDict_GET_SIZE(retained.ptr())));
    nb::object count = checked(PyNumber_Subtract(length.ptr(), kept.ptr()));
    if (PyLong_AsSsize_t(count.ptr()) == -1 && PyErr_Occurred()) throw nb::python_error();
    nb::object index = get(frame, name::index.ptr());
    std::vector<nb::object> replacements;
    replacements.reserve(columns.size());
    for (const nb::object& column : columns) {
        replacements.push_back(column_series(pd, index, column, count, retained, globals));
    }

    set(self, name::bars.ptr(), retained);
    for (size_t i = 0; i < columns.size(); ++i) {
        checked_status(PyObject_SetItem(frame.ptr(), columns[i].ptr(), replacements[i].ptr()));
    }
    return changed_set(columns, before, last_row(frame, columns), globals);
}

// before["timestamp"]: the timestamp the last row shows.
nb::handle timestamp_of(const std::vector<nb::object>& columns, const Row& before) {
    for (size_t i = 0; i < columns.size(); ++i) {
        if (checked_status(
                PyObject_RichCompareBool(columns[i].ptr(), name::timestamp.ptr(), Py_EQ))) {
            return before[i];
        }
    }
    raise_instance(checked(PyObject_CallOneArg(PyExc_KeyError, name::timestamp.ptr())));
}

nb::object update(nb::handle self, nb::handle bars) {
    CallGlobals globals;
    nb::object frame = get(self, name::frame.ptr());
    nb::object length = get(self, name::length.ptr());
    nb::object pd = module_global(name::pd.ptr());
    const std::vector<nb::object> columns = bar_columns();
    check_layout(frame, length, pd, columns);

    const Row before = last_row(frame, columns);
    nb::object updates = bars_by_time(bars);
    nb::handle latest = timestamp_of(columns, before);
    nb::object known = get(self, name::bars.ptr());
    if (checked_status(PySequence_Contains(known.ptr(), latest.ptr())) &&
        PyDict_GET_SIZE(updates.ptr()) == 1 &&
        checked_status(PyDict_Contains(updates.ptr(), latest.ptr()))) {
        nb::object bar = item(updates, latest);
        return revise_last(self, frame, length, latest, bar, columns, before, globals);
    }
    return rebuild(self, frame, length, pd, updates, columns, before, globals);
}

nb::object filled_series(nb::handle pd, nb::handle fill, nb::handle length, nb::handle dtype) {
    nb::object one = checked(PyList_New(1));
    PyList_SET_ITEM(one.ptr(), 0, fill.inc_ref().ptr());
    nb::object values = checked(PyNumber_Multiply(one.ptr(), length.ptr()));
    return call(get(pd, name::series.ptr()), {values.ptr()}, name::dtype.ptr(), dtype.ptr());
}

nb::object initialise(nb::handle self, nb::handle symbol, nb::handle period, nb::handle length) {
    set(self, name::symbol.ptr(), symbol);
    set(self, name::period.ptr(), period);
    set(self, name::length.ptr(), length);
    set(self, name::bars.ptr(), checked(PyDict_New()));
    nb::object zero = checked(PyLong_FromLong(0));
    set(self, name::initial_generation.ptr(), zero);
    set(self, name::initial_sequence.ptr(), zero);

    CallGlobals globals;
    nb::object pd = module_global(name::pd.ptr());
    nb::object columns = checked(PyDict_New());
    checked_status(PyDict_SetItem(columns.ptr(), name::timestamp.ptr(),
                                  filled_series(pd, zero, length, name::int64.ptr()).ptr()));
    checked_status(PyDict_SetItem(
        columns.ptr(), name::trading_day.ptr(),
        filled_series(pd, nb::str(""), length, reinterpret_cast<PyObject*>(&PyBaseObject_Type))
            .ptr()));
    nb::object bar_fields = module_global(name::bar_fields.ptr());
    nb::object field_names = checked(PyObject_CallMethod(bar_fields.ptr(), "values", nullptr));
    nb::object iterator = checked(PyObject_GetIter(field_names.ptr()));
    nb::object nan = globals.nan();
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object name = nb::steal(raw);
        checked_status(PyDict_SetItem(columns.ptr(), name.ptr(),
                                      filled_series(pd, nan, length, name::float64.ptr()).ptr()));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object frame = call(get(pd, name::data_frame.ptr()), {columns.ptr()});
    set(self, name::frame.ptr(), frame);

    nb::object labels = checked(PyDict_New());
    checked_status(PyDict_SetItem(labels.ptr(), name::symbol.ptr(), symbol.ptr()));
    checked_status(PyDict_SetItem(labels.ptr(), name::period.ptr(), period.ptr()));
    call(get(get(frame, name::attrs.ptr()), name::update.ptr()), {labels.ptr()});
    return nb::none();
}

const Signature kInit{"Serial.__init__", {"self", "symbol", "period", "length"}, 4, 4};
const Signature kUpdate{"Serial.update", {"self", "bars"}, 2, 2};

PyObject* serial_init(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[4];
        if (!bind_arguments(kInit, args, nargs, kwnames, bound)) throw nb::python_error();
        return initialise(bound[0], bound[1], bound[2], bound[3]);
    });
}

PyObject* serial_update(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[2];
        if (!bind_arguments(kUpdate, args, nargs, kwnames, bound)) throw nb::python_error();
        return update(bound[0], bound[1]);
    });
}

PyMethodDef init_def{"__init__", as_cfunction(serial_init), METH_FASTCALL | METH_KEYWORDS,
                     "__init__(self, symbol, period, length)\n--\n\n"};
PyMethodDef update_def{"update", as_cfunction(serial_update), METH_FASTCALL | METH_KEYWORDS,
                       "update(self, bars)\n--\n\n"};

}  // namespace

nb::object create_serial() {
    nb::dict namespace_;
    namespace_["__module__"] = "zqkit.data";
    namespace_["__qualname__"] = "Serial";
    namespace_["__init__"] = native_method(&init_def);
    namespace_["update"] = native_method(&update_def);
    nb::object bases = nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    nb::object cls = checked(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                                   "Serial", bases.ptr(), namespace_.ptr()));
    state().serial = cls.inc_ref().ptr();
    return cls;
}

}  // namespace zqkit::data
