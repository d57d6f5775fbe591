// The wire key tables and the K-line constants, built once at import as plain module globals.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::data {

namespace nb = nanobind;

nb::dict create_bar_fields();
// A copy of the bar table with the quote names of "h", "l", "c" and the four quote-only keys.
nb::dict create_quote_fields(nb::dict bar_fields);
// "timestamp", "trading_day", then the bar field names.
nb::list create_bar_columns(nb::dict bar_fields);
nb::object create_kline_periods();

}  // namespace zqkit::data
