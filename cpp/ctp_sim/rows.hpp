// The CTP structures the counter answers with, as field lists in CTP order.
#pragma once

#include <string>
#include <utility>

#include "book.hpp"
#include "settings.hpp"
#include "values.hpp"

namespace zqkit::ctp {

Fields instrument_row(const InstrumentSpec& spec);
Fields order_row(const Order& order, const std::string& trading_day);
Fields trade_row(const Trade& trade, const std::string& trading_day);
Fields account_row(const Book& book, const Funds& funds, const std::string& trading_day);

struct PositionRowInput {
    const Book* book;
    const InstrumentSpec* instrument;
    bool is_long;
    char position_date;  // '1' today (or the whole position), '2' history
    int yd;
    int position;
    int today;
    double cost;
    double margin;
    double profit;
    const PositionBook* totals;  // volumes, profit and commission of the whole side
    bool carries_totals;         // this row reports the side's day totals
};
Fields position_row(const PositionRowInput& input, const std::string& trading_day);

}  // namespace zqkit::ctp
