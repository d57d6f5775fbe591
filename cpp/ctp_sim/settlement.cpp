// Funds derived from the book, and the roll to a new trading day.
#include "counter.hpp"

namespace zqkit::ctp {

Funds Counter::funds(const Book& book) const {
    Funds result;
    for (const auto& [key, position] : book.positions) {
        const InstrumentSpec& spec = instrument(key.first);
        result.margin += position.cost() * spec.margin_rate;
        if (auto reference = price(key.first)) {
            double value = *reference * position.total() * spec.multiplier;
            result.position_profit += (key.second ? 1.0 : -1.0) * (value - position.cost());
        }
    }
    for (const auto& order : book.orders) {
        if (!order.working()) continue;
        const InstrumentSpec& spec = instrument(order.symbol);
        result.frozen_commission += order.left() * spec.commission;
        if (order.offset == '0') {
            result.frozen_margin +=
                order.left() * order.limit_price * spec.multiplier * spec.margin_rate;
        }
    }
    result.balance = book.pre_balance + book.deposit - book.withdraw + book.close_profit +
                     result.position_profit - book.commission;
    result.available =
        result.balance - result.margin - result.frozen_margin - result.frozen_commission;
    return result;
}

void Counter::settle(Book& book) {
    book.pre_balance = funds(book).balance;
    for (auto position = book.positions.begin(); position != book.positions.end();) {
        const InstrumentSpec& spec = instrument(position->first.first);
        PositionBook& lots = position->second;
        lots.history += lots.today;
        lots.history_cost += lots.today_cost;
        lots.today = 0;
        lots.today_cost = 0.0;
        // Carried at the settlement (reference) price, so the balance carries over unchanged.
        if (auto reference = price(position->first.first)) {
            lots.history_cost = *reference * lots.history * spec.multiplier;
        }
        lots.yd = lots.history;
        lots.open_volume = lots.close_volume = 0;
        lots.close_profit = lots.commission = 0.0;
        position = lots.history == 0 ? book.positions.erase(position) : std::next(position);
    }
    book.deposit = book.withdraw = book.close_profit = book.commission = 0.0;
    book.orders.clear();  // day orders expire with the day
    book.trades.clear();
    book.max_order_ref = 0;
    book.confirmed_day.clear();
}

void Counter::set_trading_day(const std::string& day) {
    if (day == trading_day_) return;
    for (auto& book : books_) settle(book);
    trading_day_ = day;
}

}  // namespace zqkit::ctp
