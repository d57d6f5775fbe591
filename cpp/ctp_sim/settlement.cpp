// The roll to a new trading day: settlement of every book.
#include "counter.hpp"

namespace zqkit::ctp {

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
