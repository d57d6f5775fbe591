// decode: one pushed market item, validated completely, to a new dict in the bar or quote layout.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::data {

namespace nb = nanobind;

nb::object create_decode();

// Records the module's own tables, so that while they stay as built a result can start as a copy
// of a prepared dict instead of growing key by key.
void remember_tables(nb::dict bar_fields, nb::dict quote_fields);

// True when `table` is the module's own bar (or quote) table holding the entries it was built with.
bool table_as_built(PyObject* table, bool quote);

}  // namespace zqkit::data
