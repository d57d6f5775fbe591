// Matching against the reference prices, and what a fill does to the book.
#include <algorithm>

#include "clock.hpp"
#include "counter.hpp"
#include "counter_helpers.hpp"
#include "exchange_rules.hpp"
#include "rows.hpp"

namespace zqkit::ctp {

void Counter::set_price(const std::string& symbol, std::optional<double> reference) {
    if (!reference) {
        prices_.erase(symbol);
        return;
    }
    prices_[symbol] = *reference;
    for (auto& book : books_) {
        std::vector<Event> batch;
        for (auto& order : book.orders) {
            if (order.symbol == symbol && order.working()) match(book, order, false, batch);
        }
        publish(book, batch);
    }
}

void Counter::match(Book& book, Order& order, bool on_arrival, std::vector<Event>& batch) {
    auto reference = price(order.symbol);
    bool crosses = reference && (order.is_buy() ? order.limit_price >= *reference - 1e-9
                                                : order.limit_price <= *reference + 1e-9);
    if (crosses && order.working()) {
        int wanted = order.left();
        int lots = options_.fill_volume > 0 ? std::min(options_.fill_volume, wanted) : wanted;
        bool all_or_nothing = order.volume_condition == '3';
        // An arriving order trades at the resting price; a resting order at its own limit.
        if (!all_or_nothing || lots == wanted) {
            fill(book, order, lots, on_arrival ? *reference : order.limit_price, batch);
        }
    }
    if (on_arrival && order.time_condition == '1' && order.working())
        expire_remainder(order, batch);
}

void Counter::expire_remainder(Order& order, std::vector<Event>& batch) {
    auto [date, clock] = china_clock();
    order.status = OrderStatus::Canceled;
    order.status_msg = order.traded > 0 ? "部分成交，剩余已撤单" : "已撤单：未能立即成交";
    order.cancel_time = order.update_time = clock;
    batch.push_back(make_event("RtnOrder", order_row(order, trading_day_)));
}

void Counter::fill(Book& book, Order& order, int volume, double price, std::vector<Event>& batch) {
    const InstrumentSpec& spec = instrument(order.symbol);
    auto [date, clock] = china_clock();
    Trade trade;
    trade.broker_id = order.broker_id;
    trade.investor_id = order.investor_id;
    trade.user_id = order.user_id;
    trade.trade_id = trade_numbers_.next(order.exchange);
    trade.sys_id = order.sys_id;
    trade.order_ref = order.order_ref;
    trade.symbol = order.symbol;
    trade.exchange = order.exchange;
    trade.instrument = order.instrument;
    trade.direction = order.direction;
    trade.offset = order.offset;
    trade.price = price;
    trade.volume = volume;
    trade.trade_date = date;
    trade.trade_time = clock;
    trade.sequence = next_sequence_++;

    double fee = volume * spec.commission;
    book.commission += fee;
    if (order.offset == Offset::Open) {
        PositionBook& position = book.positions[{order.symbol, order.is_buy()}];
        position.today += volume;
        position.today_cost += price * volume * spec.multiplier;
        position.open_volume += volume;
        position.commission += fee;
    } else {
        apply_close(book, order, volume, price);
        book.positions[{order.symbol, !order.is_buy()}].commission += fee;
    }
    order.traded += volume;
    order.status = order.left() == 0 ? OrderStatus::AllTraded : OrderStatus::PartTradedQueueing;
    order.status_msg = order.left() == 0 ? "全部成交" : "部分成交";
    order.update_time = clock;
    book.trades.push_back(trade);

    Event trade_event = make_event("RtnTrade", trade_row(trade, trading_day_));
    Event order_event = make_event("RtnOrder", order_row(order, trading_day_));
    bool twice = faults_.duplicate_trade_count > 0;
    if (twice) --faults_.duplicate_trade_count;
    if (faults_.trade_first_count > 0) {
        // Ahead of every order return of this batch, even the one carrying the OrderSysID.
        --faults_.trade_first_count;
        batch.insert(batch.begin(), trade_event);
    } else {
        batch.push_back(trade_event);
    }
    batch.push_back(std::move(order_event));
    if (twice) batch.push_back(std::move(trade_event));
}

void Counter::apply_close(Book& book, const Order& order, int volume, double price) {
    const InstrumentSpec& spec = instrument(order.symbol);
    bool closes_long = !order.is_buy();
    PositionBook& position = book.positions[{order.symbol, closes_long}];
    auto [from_history, from_today] =
        close_parts(order.exchange, order.offset, volume, position.history);
    // Orders were checked against free lots, so a shortfall here cannot happen; keep the
    // book sane regardless by taking it from the other bucket.
    if (from_history > position.history) {
        from_today += from_history - position.history;
        from_history = position.history;
    }
    if (from_today > position.today) {
        from_history += from_today - position.today;
        from_today = position.today;
    }
    auto take = [](int& lots, double& cost, int amount) {
        if (amount <= 0 || lots <= 0) return 0.0;
        double part = cost * amount / lots;
        lots -= amount;
        cost = lots == 0 ? 0.0 : cost - part;
        return part;
    };
    double released = take(position.history, position.history_cost, from_history) +
                      take(position.today, position.today_cost, from_today);
    double profit = (closes_long ? 1.0 : -1.0) * (price * volume * spec.multiplier - released);
    position.close_volume += volume;
    position.close_profit += profit;
    book.close_profit += profit;
}

}  // namespace zqkit::ctp
