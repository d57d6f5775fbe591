#include "quote.hpp"

#include <string>

#include "arguments.hpp"
#include "entry.hpp"
#include "names.hpp"
#include "native.hpp"
#include "state.hpp"

namespace zqkit::data {

namespace {

enum class Default { Required, EmptyText, Zero, Nan, NewList };

struct QuoteField {
    const char* name;
    const char* annotation;
    Default initial;
    const char* description;
};

constexpr QuoteField kFields[] = {
    {"symbol", "str", Default::Required, "合约代码，如 SHFE.rb2610 或 DCE.a2611-C-3700。"},
    {"trading_day", "str", Default::EmptyText, "交易日，格式 YYYYMMDD。"},
    {"timestamp", "int", Default::Zero, "行情时间，Unix 毫秒。"},
    {"open", "float", Default::Nan, "开盘价。"},
    {"highest", "float", Default::Nan, "最高价。"},
    {"lowest", "float", Default::Nan, "最低价。"},
    {"last_price", "float", Default::Nan, "最新价。"},
    {"pre_settlement", "float", Default::Nan, "昨结算价。"},
    {"pre_close", "float", Default::Nan, "昨收盘价。"},
    {"upper_limit", "float", Default::Nan, "涨停价。"},
    {"lower_limit", "float", Default::Nan, "跌停价。"},
    {"volume", "float", Default::Nan, "成交量。"},
    {"turnover", "float", Default::Nan, "成交额。"},
    {"open_interest", "float", Default::Nan, "持仓量。"},
    {"bids", "list", Default::NewList, "买盘档位，每档为（价格，数量）。"},
    {"asks", "list", Default::NewList, "卖盘档位，每档为（价格，数量）。"},
};

std::string docstring() {
    std::string doc =
        "合约行情快照；通过观察句柄的 data() 获取，不随后续更新改变。\n\n    Attributes:\n";
    for (const QuoteField& field : kFields) {
        doc += std::string("        ") + field.name + ": " + field.description + "\n";
    }
    return doc + "    ";
}

const Signature kSetAttr{"Quote.__setattr__", {"self", "key", "value"}, 3, 3};

// Fields are set once, by the generated initialiser; anything else may be set freely.
nb::object assign(PyObject* self, PyObject* key, PyObject* value) {
    nb::object fields = checked(PyObject_GetAttr(self, name::dataclass_fields.ptr()));
    if (checked_status(PySequence_Contains(fields.ptr(), key))) {
        nb::object instance_dict = checked(PyObject_GetAttr(self, name::dict.ptr()));
        if (checked_status(PySequence_Contains(instance_dict.ptr(), key))) {
            PyErr_SetString(PyExc_AttributeError, "行情快照字段为只读");
            throw nb::python_error();
        }
    }
    checked_status(PyObject_GenericSetAttr(self, key, value));
    return nb::none();
}

PyObject* quote_setattr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        PyObject* bound[3];
        if (!bind_arguments(kSetAttr, args, nargs, kwnames, bound)) throw nb::python_error();
        return assign(bound[0], bound[1], bound[2]);
    });
}

PyMethodDef setattr_def{"__setattr__", as_cfunction(quote_setattr), METH_FASTCALL | METH_KEYWORDS,
                        "__setattr__(self, key, value)\n--\n\n"};

nb::object default_value(Default initial, nb::handle field, nb::handle math) {
    switch (initial) {
        case Default::EmptyText:
            return nb::str("");
        case Default::Zero:
            return nb::int_(0);
        case Default::Nan:
            return math.attr("nan");
        case Default::NewList:
            return field(nb::arg("default_factory") =
                             nb::handle(reinterpret_cast<PyObject*>(&PyList_Type)));
        case Default::Required:
            break;
    }
    return nb::object();
}

}  // namespace

nb::object create_quote(nb::handle dataclass, nb::handle field, nb::handle math) {
    nb::dict annotations;
    nb::dict namespace_;
    namespace_["__module__"] = "zqkit.data";
    namespace_["__qualname__"] = "Quote";
    namespace_["__doc__"] = nb::str(docstring().c_str());
    namespace_["__annotations__"] = annotations;
    for (const QuoteField& quote_field : kFields) {
        annotations[quote_field.name] = quote_field.annotation;
        nb::object initial = default_value(quote_field.initial, field, math);
        if (initial.is_valid()) namespace_[quote_field.name] = initial;
    }
    namespace_["__setattr__"] = native_method(&setattr_def);
    nb::object bases = nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    nb::object cls = checked(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "sOO",
                                                   "Quote", bases.ptr(), namespace_.ptr()));
    nb::object quote = dataclass(cls, nb::arg("eq") = false);
    state().quote = quote.inc_ref().ptr();
    return quote;
}

}  // namespace zqkit::data
