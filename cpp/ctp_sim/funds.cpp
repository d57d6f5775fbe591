// Funds derived from the book and the reference prices.
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
        if (order.offset == Offset::Open) {
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

}  // namespace zqkit::ctp
