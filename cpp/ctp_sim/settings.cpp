#include "settings.hpp"

#include <cmath>
#include <set>
#include <string_view>

#include "clock.hpp"
#include "python_text.hpp"

namespace zqkit::ctp {

namespace nb = nanobind;

namespace {

// Reads one settings dict strictly: every key must be known, every value of the right type.
class Reader {
  public:
    Reader(nb::handle value, std::string where) : where_(std::move(where)) {
        if (!PyDict_Check(value.ptr())) throw nb::type_error((where_ + " 必须是 dict").c_str());
        dict_ = nb::borrow<nb::dict>(value);
        for (auto [key, item] : dict_) {
            if (!PyUnicode_Check(key.ptr())) {
                throw nb::type_error((where_ + " 的键必须是 str").c_str());
            }
        }
    }

    bool has(const char* key) const { return PyDict_GetItemString(dict_.ptr(), key) != nullptr; }

    nb::handle get(const char* key) {
        used_.insert(key);
        return PyDict_GetItemString(dict_.ptr(), key);
    }

    nb::handle need(const char* key) {
        nb::handle value = get(key);
        if (!value.is_valid()) throw nb::value_error(label(key, "缺失").c_str());
        return value;
    }

    std::string text(const char* key, bool required, std::string fallback = {}) {
        nb::handle value = required ? need(key) : get(key);
        if (!value.is_valid()) return fallback;
        if (!PyUnicode_Check(value.ptr())) throw nb::type_error(label(key, "必须是 str").c_str());
        std::string result = utf8_text(value, where_ + " 的 " + key);
        if (result.find('\0') != std::string::npos) {
            throw nb::value_error(label(key, "不能包含 NUL 字符").c_str());
        }
        return result;
    }

    long long integer(const char* key, long long fallback, long long low, long long high) {
        nb::handle value = get(key);
        if (!value.is_valid()) return fallback;
        if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
            throw nb::type_error(label(key, "必须是 int").c_str());
        }
        int overflow = 0;
        long long result = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow != 0 || result < low || result > high) {
            throw nb::value_error(label(key, "超出允许范围").c_str());
        }
        return result;
    }

    double real(const char* key, double fallback, double low, bool low_inclusive, bool required) {
        nb::handle value = required ? need(key) : get(key);
        if (!value.is_valid()) return fallback;
        if (PyBool_Check(value.ptr()) ||
            !(PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()))) {
            throw nb::type_error(label(key, "必须是 int 或 float").c_str());
        }
        double result = PyFloat_AsDouble(value.ptr());
        if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
        if (!std::isfinite(result) || result < low || (!low_inclusive && result == low)) {
            throw nb::value_error(label(key, "超出允许范围").c_str());
        }
        return result;
    }

    bool flag(const char* key, bool fallback) {
        nb::handle value = get(key);
        if (!value.is_valid()) return fallback;
        if (!PyBool_Check(value.ptr())) throw nb::type_error(label(key, "必须是 bool").c_str());
        return value.ptr() == Py_True;
    }

    nb::list list(const char* key) {
        nb::handle value = get(key);
        if (!value.is_valid()) return nb::list();
        if (!PyList_Check(value.ptr())) throw nb::type_error(label(key, "必须是 list").c_str());
        return nb::borrow<nb::list>(value);
    }

    // Unknown keys are a typo in a test set-up; say so instead of ignoring them.
    void finish() const {
        for (auto [key, item] : dict_) {
            std::string name = utf8_text(key, where_ + " 的键");
            if (!used_.count(name))
                throw nb::value_error(label(name.c_str(), "不是可识别的设置项").c_str());
        }
    }

    const std::string& where() const { return where_; }

  private:
    std::string label(const char* key, const char* problem) const {
        return where_ + " 的 " + key + " " + problem;
    }

    nb::dict dict_;
    std::string where_;
    std::set<std::string> used_;
};

void read_options(Reader& reader, FrontOptions& options) {
    options.latency = reader.real("latency", options.latency, 0.0, true, false);
    options.connect_delay = reader.real("connect_delay", options.connect_delay, 0.0, true, false);
    options.max_inflight =
        static_cast<int>(reader.integer("max_inflight", options.max_inflight, 0, 1000000));
    options.max_per_second =
        static_cast<int>(reader.integer("max_per_second", options.max_per_second, 0, 1000000));
    options.fill_volume =
        static_cast<int>(reader.integer("fill_volume", options.fill_volume, 0, 1000000));
    if (options.latency > 60.0 || options.connect_delay > 60.0) {
        throw nb::value_error((reader.where() + " 的延迟不能超过 60 秒").c_str());
    }
}

void split_symbol(const std::string& symbol, const std::string& where, std::string& exchange,
                  std::string& instrument) {
    auto dot = symbol.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == symbol.size()) {
        throw nb::value_error((where + " 的 symbol 必须形如 SHFE.rb2610").c_str());
    }
    exchange = symbol.substr(0, dot);
    instrument = symbol.substr(dot + 1);
}

InstrumentSpec read_instrument(nb::handle value, const std::string& where) {
    Reader reader(value, where);
    InstrumentSpec spec;
    spec.symbol = reader.text("symbol", true);
    split_symbol(spec.symbol, where, spec.exchange, spec.instrument);
    spec.name = reader.text("name", false, spec.instrument);
    spec.product_class = reader.text("product_class", false, spec.product_class);
    if (spec.product_class != "1" && spec.product_class != "2") {
        throw nb::value_error((where + " 的 product_class 只能是 \"1\" 或 \"2\"").c_str());
    }
    spec.tick = reader.real("tick", spec.tick, 0.0, false, false);
    spec.multiplier = static_cast<int>(reader.integer("multiplier", spec.multiplier, 1, 1000000));
    spec.margin_rate = reader.real("margin_rate", spec.margin_rate, 0.0, true, false);
    spec.commission = reader.real("commission", spec.commission, 0.0, true, false);
    spec.min_volume = static_cast<int>(reader.integer("min_volume", spec.min_volume, 1, 1000000));
    spec.max_volume =
        static_cast<int>(reader.integer("max_volume", spec.max_volume, spec.min_volume, 1000000));
    spec.is_trading = reader.flag("is_trading", spec.is_trading);
    reader.finish();
    return spec;
}

PositionSpec read_position(nb::handle value, const std::string& where) {
    Reader reader(value, where);
    PositionSpec spec;
    spec.symbol = reader.text("symbol", true);
    std::string direction = reader.text("direction", true);
    if (direction != "long" && direction != "short") {
        throw nb::value_error((where + " 的 direction 只能是 \"long\" 或 \"short\"").c_str());
    }
    spec.is_long = direction == "long";
    spec.history = static_cast<int>(reader.integer("history", 0, 0, 1000000000));
    spec.today = static_cast<int>(reader.integer("today", 0, 0, 1000000000));
    spec.price = reader.real("price", 0.0, 0.0, false, true);
    reader.finish();
    return spec;
}

AccountSpec read_account(nb::handle value, const std::string& where) {
    Reader reader(value, where);
    AccountSpec spec;
    spec.broker_id = reader.text("broker_id", true);
    spec.user_id = reader.text("user_id", true);
    spec.password = reader.text("password", true);
    spec.app_id = reader.text("app_id", true);
    spec.auth_code = reader.text("auth_code", true);
    spec.balance = reader.real("balance", spec.balance, 0.0, true, false);
    nb::list positions = reader.list("positions");
    for (size_t i = 0; i < positions.size(); ++i) {
        spec.positions.push_back(
            read_position(positions[i], where + ".positions[" + std::to_string(i) + "]"));
    }
    reader.finish();
    return spec;
}

void check_consistency(const FrontSettings& settings) {
    std::set<std::string> symbols;
    for (const auto& instrument : settings.instruments) {
        if (!symbols.insert(instrument.symbol).second) {
            throw nb::value_error(("合约 " + instrument.symbol + " 重复配置").c_str());
        }
    }
    std::set<std::pair<std::string, std::string>> users;
    for (const auto& account : settings.accounts) {
        if (!users.insert({account.broker_id, account.user_id}).second) {
            throw nb::value_error(("账户 " + account.user_id + " 重复配置").c_str());
        }
        for (const auto& position : account.positions) {
            if (!symbols.count(position.symbol)) {
                throw nb::value_error(
                    ("持仓合约 " + position.symbol + " 不在 instruments 中").c_str());
            }
        }
    }
}

}  // namespace

bool is_trading_day_text(const std::string& day) {
    if (day.size() != 8) return false;
    for (char c : day) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

FrontSettings parse_front_settings(nb::handle value) {
    Reader reader(value, "settings");
    FrontSettings settings;
    settings.trading_day = reader.text("trading_day", false, today_in_china());
    if (!is_trading_day_text(settings.trading_day)) {
        throw nb::value_error("settings 的 trading_day 必须是 8 位数字 YYYYMMDD");
    }
    settings.front_id = static_cast<int>(reader.integer("front_id", settings.front_id, 1, 65535));
    read_options(reader, settings.options);
    nb::list instruments = reader.list("instruments");
    for (size_t i = 0; i < instruments.size(); ++i) {
        settings.instruments.push_back(
            read_instrument(instruments[i], "instruments[" + std::to_string(i) + "]"));
    }
    nb::list accounts = reader.list("accounts");
    for (size_t i = 0; i < accounts.size(); ++i) {
        settings.accounts.push_back(
            read_account(accounts[i], "accounts[" + std::to_string(i) + "]"));
    }
    reader.finish();
    check_consistency(settings);
    return settings;
}

FrontOptions parse_front_options(nb::handle value, FrontOptions options) {
    Reader reader(value, "options");
    read_options(reader, options);
    reader.finish();
    return options;
}

}  // namespace zqkit::ctp
