// How a simulated front is set up: its instruments, accounts, timing and limits.
#pragma once

#include <string>
#include <vector>

#include <nanobind/nanobind.h>

namespace zqkit::ctp {

struct InstrumentSpec {
    std::string symbol;      // exchange, ".", contract code
    std::string exchange;    // part before the first "."
    std::string instrument;  // part after the first "."
    std::string name;
    std::string product_class = "1";  // "1" futures, "2" options
    double tick = 1.0;
    int multiplier = 10;
    double margin_rate = 0.1;  // margin = rate × open cost of the position (or of the order)
    double commission = 1.0;   // yuan per lot, charged on every trade and frozen by working orders
    int min_volume = 1;
    int max_volume = 500;
    bool is_trading = true;
};

struct PositionSpec {
    std::string symbol;
    bool is_long = true;
    int history = 0;  // lots held from earlier days
    int today = 0;    // lots opened today (before the simulation started)
    double price = 0.0;
};

struct AccountSpec {
    std::string broker_id;
    std::string user_id;
    std::string password;
    std::string app_id;
    std::string auth_code;
    double balance = 1000000.0;  // static balance at the start of the trading day
    std::vector<PositionSpec> positions;
};

// The knobs that may also change while connections are open.
struct FrontOptions {
    double latency = 0.005;        // seconds from a request to its answer
    double connect_delay = 0.005;  // seconds from create (or a retry) to FrontConnected
    int max_inflight = 0;          // requests queued but not answered; 0 = no limit (-2 above it)
    int max_per_second = 0;        // requests in any one-second window; 0 = no limit (-3 above it)
    int fill_volume = 0;           // lots filled per matching pass; 0 = the whole order at once
};

struct FrontSettings {
    std::string trading_day;
    int front_id = 1;
    FrontOptions options;
    std::vector<InstrumentSpec> instruments;
    std::vector<AccountSpec> accounts;
};

// Parse the dict given to `configure_front`; unknown keys raise ValueError, wrong types TypeError.
FrontSettings parse_front_settings(nanobind::handle settings);
// Apply the option keys of the dict given to `set_options` on top of `options`.
FrontOptions parse_front_options(nanobind::handle settings, FrontOptions options);

bool is_trading_day_text(const std::string& day);

}  // namespace zqkit::ctp
