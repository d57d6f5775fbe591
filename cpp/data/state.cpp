#include "state.hpp"

#include "core/core.hpp"

namespace zqkit::data {

State& state() {
    static State instance;
    return instance;
}

namespace {

Names names_instance{};

PyObject* intern(const char* text) {
    PyObject* value = PyUnicode_InternFromString(text);
    if (value == nullptr) throw nb::python_error();
    return value;
}

}  // namespace

const Names& names() {
    return names_instance;
}

void init_names() {
    Names& n = names_instance;
    n.math = intern("math");
    n.re = intern("re");
    n.pd = intern("pd");
    n.nan = intern("nan");
    n.isnan = intern("isnan");
    n.isfinite = intern("isfinite");
    n.fullmatch = intern("fullmatch");
    n.zq_error = intern("ZqError");
    n.number = intern("number");
    n.different = intern("different");
    n.bar_fields = intern("BAR_FIELDS");
    n.quote_fields = intern("QUOTE_FIELDS");
    n.bar_columns = intern("BAR_COLUMNS");
    n.status = intern("status");
    n.get = intern("get");
    n.keys = intern("keys");
    n.timestamp = intern("timestamp");
    n.trading_day = intern("trading_day");
    n.bids = intern("bids");
    n.asks = intern("asks");
    n.s = intern("s");
    n.t = intern("t");
    n.d = intern("d");
    n.b = intern("b");
    n.a = intern("a");
    n.symbol = intern("symbol");
    n.period = intern("period");
    n.length = intern("length");
    n.bars = intern("bars");
    n.initial_generation = intern("initial_generation");
    n.initial_sequence = intern("initial_sequence");
    n.frame = intern("frame");
    n.dataclass_fields = intern("__dataclass_fields__");
    n.dict = intern("__dict__");
    n.init = intern("__init__");
    n.add_note = intern("add_note");
    n.at = intern("at");
    n.iat = intern("iat");
    n.columns = intern("columns");
    n.index = intern("index");
    n.is_unique = intern("is_unique");
    n.equals = intern("equals");
    n.range_index = intern("RangeIndex");
    n.get_loc = intern("get_loc");
    n.data_frame = intern("DataFrame");
    n.series = intern("Series");
    n.attrs = intern("attrs");
    n.update = intern("update");
    n.dtype = intern("dtype");
    n.int64 = intern("int64");
    n.float64 = intern("float64");
}

nb::object module_global(PyObject* name) {
    return core::module_global(state().globals, name);
}

bool global_is(PyObject* name, PyObject* original, nb::object& found) {
    found = module_global(name);
    return found.ptr() == original;
}

}  // namespace zqkit::data
