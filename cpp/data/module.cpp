// zqkit.data: registers the module's names, in the order the module binds them at import.
#include <nanobind/nanobind.h>

#include "c_api.hpp"
#include "decode.hpp"
#include "errors.hpp"
#include "globals_cache.hpp"
#include "quote.hpp"
#include "serial.hpp"
#include "state.hpp"
#include "tables.hpp"
#include "validation.hpp"

namespace nb = nanobind;
using namespace zqkit::data;

namespace {

// The standard callables whose C++ equivalents the fast paths use while they stay in place.
void remember_originals(nb::handle math, nb::handle re) {
    State& s = state();
    s.math_isnan = math.attr("isnan").inc_ref().ptr();
    s.math_isfinite = math.attr("isfinite").inc_ref().ptr();
    s.re_fullmatch = re.attr("fullmatch").inc_ref().ptr();
    nb::module_ numpy = nb::module_::import_("numpy");
    s.numpy_floating = numpy.attr("floating").inc_ref().ptr();
    s.numpy_integer = numpy.attr("integer").inc_ref().ptr();
    s.numpy_bool = numpy.attr("bool_").inc_ref().ptr();
}

}  // namespace

NB_MODULE(data, m) {
    m.doc() = "Wire conversion and local market data objects.";
    state().globals = nb::borrow(m.attr("__dict__")).inc_ref().ptr();

    nb::module_ dataclasses = nb::module_::import_("dataclasses");
    nb::module_ math = nb::module_::import_("math");
    nb::module_ re = nb::module_::import_("re");
    remember_originals(math, re);

    m.attr("dataclass") = dataclasses.attr("dataclass");
    m.attr("field") = dataclasses.attr("field");
    m.attr("math") = math;
    m.attr("re") = re;
    m.attr("pd") = nb::module_::import_("pandas");
    m.attr("ZqError") = create_zq_error();
    m.attr("Quote") = create_quote(m.attr("dataclass"), m.attr("field"), math);
    nb::dict bar_fields = create_bar_fields();
    m.attr("BAR_FIELDS") = bar_fields;
    nb::dict quote_fields = create_quote_fields(bar_fields);
    m.attr("QUOTE_FIELDS") = quote_fields;
    m.attr("BAR_COLUMNS") = create_bar_columns(bar_fields);
    m.attr("KLINE_PERIODS") = create_kline_periods();
    m.attr("check_symbol") = create_check_symbol();
    m.attr("number") = create_number();
    remember_tables(bar_fields, quote_fields);
    m.attr("decode") = create_decode();
    m.attr("different") = create_different();
    m.attr("Serial") = create_serial();
    m.attr(c_api_attribute) = create_c_api();
    watch_globals();
}
