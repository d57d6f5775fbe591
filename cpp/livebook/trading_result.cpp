// TradingResult: the frozen dataclass answered at once by insert and cancel.
#include "core/python_class.hpp"
#include "livebook/bindings.hpp"

namespace zqkit::livebook {

void bind_trading_result(nb::module_& m) {
    nb::handle str_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    nb::dict annotations;
    annotations["status"] = nb::str("Literal['SUBMITTED', 'REJECTED', 'UNKNOWN']");
    annotations["order_id"] = optional_of(str_type);
    annotations["message"] = str_type;

    nb::dict ns;
    ns["__doc__"] = nb::str("一次交易操作的即时提交结果；不是最终委托或撤单结果。");
    ns["__annotations__"] = annotations;
    ns["message"] = nb::str("");
    nb::object cls = core::make_class(m, "TradingResult", nb::tuple(), ns);
    m.attr("TradingResult") = frozen_dataclass(m, cls);
}

}  // namespace zqkit::livebook
