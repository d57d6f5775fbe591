#include "request_fields.hpp"

#include <array>
#include <cstdint>
#include <string_view>

#include "python_text.hpp"

namespace zqkit::ctp {

namespace nb = nanobind;

namespace {

enum class Kind { Text, Char, Int, Double };

struct FieldType {
    std::string_view name;
    Kind kind;
    size_t capacity;  // longest text the CTP field holds (its array size minus the NUL)
};

// The request fields whose CTP type is fixed; any other name is passed through as given.
constexpr std::array kFieldTypes{
    FieldType{"BrokerID", Kind::Text, 10},
    FieldType{"InvestorID", Kind::Text, 12},
    FieldType{"UserID", Kind::Text, 15},
    FieldType{"Password", Kind::Text, 40},
    FieldType{"AppID", Kind::Text, 32},
    FieldType{"AuthCode", Kind::Text, 16},
    FieldType{"UserProductInfo", Kind::Text, 10},
    FieldType{"InstrumentID", Kind::Text, 80},
    FieldType{"ExchangeID", Kind::Text, 8},
    FieldType{"OrderRef", Kind::Text, 12},
    FieldType{"OrderSysID", Kind::Text, 20},
    FieldType{"CombOffsetFlag", Kind::Text, 4},
    FieldType{"CombHedgeFlag", Kind::Text, 4},
    FieldType{"CurrencyID", Kind::Text, 3},
    FieldType{"Direction", Kind::Char, 1},
    FieldType{"OrderPriceType", Kind::Char, 1},
    FieldType{"TimeCondition", Kind::Char, 1},
    FieldType{"VolumeCondition", Kind::Char, 1},
    FieldType{"ContingentCondition", Kind::Char, 1},
    FieldType{"ForceCloseReason", Kind::Char, 1},
    FieldType{"ActionFlag", Kind::Char, 1},
    FieldType{"LimitPrice", Kind::Double, 0},
    FieldType{"StopPrice", Kind::Double, 0},
    FieldType{"VolumeTotalOriginal", Kind::Int, 0},
    FieldType{"MinVolume", Kind::Int, 0},
    FieldType{"IsAutoSuspend", Kind::Int, 0},
    FieldType{"UserForceClose", Kind::Int, 0},
    FieldType{"IsSwapOrder", Kind::Int, 0},
    FieldType{"RequestID", Kind::Int, 0},
    FieldType{"FrontID", Kind::Int, 0},
    FieldType{"SessionID", Kind::Int, 0},
};

constexpr std::array<std::string_view, 10> kMethods{
    "Authenticate", "UserLogin",           "SettlementInfoConfirm", "QryInstrument", "QryOrder",
    "QryTrade",     "QryInvestorPosition", "QryTradingAccount",     "OrderInsert",   "OrderAction",
};

const FieldType* field_type(std::string_view name) {
    for (const auto& type : kFieldTypes) {
        if (type.name == name) return &type;
    }
    return nullptr;
}

[[noreturn]] void fail_type(const std::string& name, const char* expected) {
    throw nb::type_error(("字段 " + name + " 的值必须是 " + expected).c_str());
}

std::string convert_text(const std::string& name, nb::handle value, const FieldType* type) {
    std::string text = utf8_text(value, "字段 " + name);
    if (text.find('\0') != std::string::npos) {
        throw nb::value_error(("字段 " + name + " 不能包含 NUL 字符").c_str());
    }
    if (type != nullptr && text.size() > type->capacity) {
        throw nb::value_error(
            ("字段 " + name + " 超过 " + std::to_string(type->capacity) + " 字节，CTP 字段放不下")
                .c_str());
    }
    return text;
}

std::int64_t convert_integer(const std::string& name, nb::handle value, bool ctp_int) {
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (number == -1 && PyErr_Occurred()) throw nb::python_error();
    bool out_of_range = overflow != 0;
    if (ctp_int && (number < INT32_MIN || number > INT32_MAX)) out_of_range = true;
    if (out_of_range) {
        PyErr_SetString(PyExc_OverflowError, ("字段 " + name + " 的整数超出范围").c_str());
        throw nb::python_error();
    }
    return number;
}

// An int too large for a double must not come back as -1.0 with the error still pending.
double convert_whole_to_double(const std::string& name, nb::handle value) {
    double number = PyLong_AsDouble(value.ptr());
    if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_OverflowError, ("字段 " + name + " 的整数超出范围").c_str());
        throw nb::python_error();
    }
    return number;
}

Value convert_value(const std::string& name, nb::handle value) {
    const FieldType* type = field_type(name);
    PyObject* raw = value.ptr();
    bool is_text = PyUnicode_Check(raw);
    bool is_bool = PyBool_Check(raw);
    bool is_int = PyLong_Check(raw) && !is_bool;
    bool is_float = PyFloat_Check(raw);
    if (type == nullptr) {
        if (is_text) return convert_text(name, value, nullptr);
        if (is_bool) return std::int64_t{raw == Py_True ? 1 : 0};
        if (is_int) return convert_integer(name, value, false);
        if (is_float) return PyFloat_AsDouble(raw);
        fail_type(name, "str、int、float 或 bool");
    }
    switch (type->kind) {
        case Kind::Text:
        case Kind::Char:
            if (!is_text) fail_type(name, "str");
            return convert_text(name, value, type);
        case Kind::Int:
            if (is_bool) return std::int64_t{raw == Py_True ? 1 : 0};
            if (!is_int) fail_type(name, "int");
            return convert_integer(name, value, true);
        case Kind::Double:
            if (is_float) return PyFloat_AsDouble(raw);
            if (!is_int) fail_type(name, "int 或 float");
            return convert_whole_to_double(name, value);
    }
    fail_type(name, "str");
}

}  // namespace

bool is_known_method(const std::string& method) {
    for (auto known : kMethods) {
        if (known == method) return true;
    }
    return false;
}

Fields convert_request_fields(nb::handle fields) {
    if (!PyDict_Check(fields.ptr())) throw nb::type_error("fields 必须是 dict");
    Fields result;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    // Keys are checked first, so a bad key is reported whatever the values are.
    while (PyDict_Next(fields.ptr(), &position, &key, &value)) {
        if (!PyUnicode_Check(key)) throw nb::type_error("fields 的键必须是 str（CTP 字段名）");
    }
    position = 0;
    while (PyDict_Next(fields.ptr(), &position, &key, &value)) {
        std::string name = utf8_text(nb::handle(key), "fields 的键");
        result.add(name, convert_value(name, nb::handle(value)));
    }
    return result;
}

}  // namespace zqkit::ctp
