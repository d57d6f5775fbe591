#include "trading/bindings.hpp"

#include <initializer_list>

namespace zqkit::trading {

namespace {

void bind_from(nb::module_& m, const char* source, std::initializer_list<const char*> names) {
    nb::module_ module = nb::module_::import_(source);
    for (const char* name : names) m.attr(name) = module.attr(name);
}

}  // namespace

void bind_imports(nb::module_& m) {
    // Python modules hold their builtins first; keep later additions from landing mid-module.
    m.attr("__builtins__") = nb::borrow(PyEval_GetBuiltins());
    m.attr("asyncio") = nb::module_::import_("asyncio");
    bind_from(m, "datetime", {"datetime", "timedelta", "timezone"});
    m.attr("math") = nb::module_::import_("math");
    m.attr("os") = nb::module_::import_("os");
    m.attr("time") = nb::module_::import_("time");
    bind_from(m, "tempfile", {"mkdtemp"});
    bind_from(m, "zqkit.data", {"ZqError", "check_symbol", "different"});
    bind_from(m, "zqkit.errors", {"Recovery"});
    bind_from(
        m, "zqkit.livebook",
        {"Account", "Position", "Order", "Trade", "LiveMap", "empty_position", "TradingResult"});
}

}  // namespace zqkit::trading
