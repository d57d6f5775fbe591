// The five queries: one answer row per instrument, order, trade, position row or account.
#include "connection.hpp"
#include "counter.hpp"
#include "counter_helpers.hpp"
#include "error_codes.hpp"
#include "exchange_rules.hpp"
#include "rows.hpp"

namespace zqkit::ctp {

void Counter::query(Connection& connection, Session& session, const std::string& method,
                    const Fields& fields, int request_id) {
    std::string name = "Rsp" + method;
    if (faults_.fail_query_count > 0) {
        --faults_.fail_query_count;
        connection.deliver(make_event(name, std::nullopt, request_id, true,
                                      errors::injected(faults_.fail_query_error)));
        return;
    }
    answer(connection, name, request_id, query_rows(*session.book, method, fields));
}

std::vector<Fields> Counter::query_rows(const Book& book, const std::string& method,
                                        const Fields& fields) const {
    std::string instrument_id = fields.text("InstrumentID");
    std::string exchange_id = fields.text("ExchangeID");
    auto wanted = [&](const std::string& exchange, const std::string& instrument) {
        return (instrument_id.empty() || instrument_id == instrument) &&
               (exchange_id.empty() || exchange_id == exchange);
    };
    std::vector<Fields> rows;
    if (method == "QryInstrument") {
        for (const auto& symbol : instrument_order_) {
            const InstrumentSpec& spec = instrument(symbol);
            if (wanted(spec.exchange, spec.instrument)) rows.push_back(instrument_row(spec));
        }
    } else if (method == "QryOrder") {
        std::string sys_id = trimmed(fields.text("OrderSysID"));
        for (const auto& order : book.orders) {
            if (!wanted(order.exchange, order.instrument)) continue;
            if (!sys_id.empty() && trimmed(order.sys_id) != sys_id) continue;
            rows.push_back(order_row(order, trading_day_));
        }
    } else if (method == "QryTrade") {
        std::string trade_id = trimmed(fields.text("TradeID"));
        for (const auto& trade : book.trades) {
            if (!wanted(trade.exchange, trade.instrument)) continue;
            if (!trade_id.empty() && trimmed(trade.trade_id) != trade_id) continue;
            rows.push_back(trade_row(trade, trading_day_));
        }
    } else if (method == "QryInvestorPosition") {
        rows = position_rows(book, instrument_id);
    } else if (method == "QryTradingAccount") {
        std::string currency = fields.text("CurrencyID");
        if (currency.empty() || currency == "CNY") {
            rows.push_back(account_row(book, funds(book), trading_day_));
        }
    }
    return rows;
}

std::vector<Fields> Counter::position_rows(const Book& book,
                                           const std::string& instrument_id) const {
    std::vector<Fields> rows;
    for (const auto& [key, position] : book.positions) {
        const InstrumentSpec& spec = instrument(key.first);
        if (!instrument_id.empty() && instrument_id != spec.instrument) continue;
        double sign = key.second ? 1.0 : -1.0;
        auto reference = price(key.first);
        auto profit = [&](int lots, double cost) {
            return reference ? sign * (*reference * lots * spec.multiplier - cost) : 0.0;
        };
        PositionRowInput input{&book, &spec, key.second, '1', 0,         0,
                               0,     0.0,   0.0,        0.0, &position, true};
        if (!separates_today(spec.exchange)) {
            // One row per direction, today's part in TodayPosition.
            input.yd = position.yd;
            input.position = position.total();
            input.today = position.today;
            input.cost = position.cost();
            input.margin = position.cost() * spec.margin_rate;
            input.profit = profit(position.total(), position.cost());
            rows.push_back(position_row(input, trading_day_));
            continue;
        }
        // SHFE and INE: today's and earlier days' lots are separate rows; the day's totals
        // go on the today row when there is one.
        bool has_today = position.today > 0 || position.open_volume > 0;
        if (has_today) {
            input.position = input.today = position.today;
            input.cost = position.today_cost;
            input.margin = position.today_cost * spec.margin_rate;
            input.profit = profit(position.today, position.today_cost);
            rows.push_back(position_row(input, trading_day_));
        }
        if (position.yd > 0 || position.history > 0) {
            input.position_date = '2';
            input.carries_totals = !has_today;
            input.yd = position.yd;
            input.position = position.history;
            input.today = 0;
            input.cost = position.history_cost;
            input.margin = position.history_cost * spec.margin_rate;
            input.profit = profit(position.history, position.history_cost);
            rows.push_back(position_row(input, trading_day_));
        }
    }
    return rows;
}

}  // namespace zqkit::ctp
