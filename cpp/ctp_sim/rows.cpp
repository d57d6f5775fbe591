#include "rows.hpp"

#include "exchange_rules.hpp"

namespace zqkit::ctp {

namespace {

std::string one_char(char value) {
    return std::string(1, value);
}

}  // namespace

Fields instrument_row(const InstrumentSpec& spec) {
    Fields row;
    row.add("InstrumentID", spec.instrument);
    row.add("ExchangeID", spec.exchange);
    row.add("InstrumentName", spec.name);
    row.add("ExchangeInstID", spec.instrument);
    std::string product;
    for (char c : spec.instrument) {
        if ((c < 'a' || c > 'z') && (c < 'A' || c > 'Z')) break;
        product += c;
    }
    row.add("ProductID", product);
    row.add("ProductClass", spec.product_class);
    row.add("MaxMarketOrderVolume", std::int64_t{spec.max_volume});
    row.add("MinMarketOrderVolume", std::int64_t{spec.min_volume});
    row.add("MaxLimitOrderVolume", std::int64_t{spec.max_volume});
    row.add("MinLimitOrderVolume", std::int64_t{spec.min_volume});
    row.add("VolumeMultiple", std::int64_t{spec.multiplier});
    row.add("PriceTick", spec.tick);
    row.add("InstLifePhase", std::string("1"));
    row.add("IsTrading", std::int64_t{spec.is_trading ? 1 : 0});
    row.add("PositionType", std::string("2"));
    row.add("PositionDateType", std::string(separates_today(spec.exchange) ? "1" : "2"));
    row.add("LongMarginRatio", spec.margin_rate);
    row.add("ShortMarginRatio", spec.margin_rate);
    return row;
}

Fields order_row(const Order& order, const std::string& trading_day) {
    Fields row;
    row.add("BrokerID", order.broker_id);
    row.add("InvestorID", order.investor_id);
    row.add("InstrumentID", order.instrument);
    row.add("OrderRef", order.order_ref);
    row.add("UserID", order.user_id);
    row.add("OrderPriceType", std::string("2"));
    row.add("Direction", one_char(order.direction));
    row.add("CombOffsetFlag", ctp_text(order.offset));
    row.add("CombHedgeFlag", std::string("1"));
    row.add("LimitPrice", order.limit_price);
    row.add("VolumeTotalOriginal", std::int64_t{order.volume});
    row.add("TimeCondition", one_char(order.time_condition));
    row.add("VolumeCondition", one_char(order.volume_condition));
    row.add("MinVolume", std::int64_t{1});
    row.add("ContingentCondition", std::string("1"));
    row.add("ForceCloseReason", std::string("0"));
    row.add("IsAutoSuspend", std::int64_t{0});
    row.add("RequestID", std::int64_t{order.request_id});
    row.add("ExchangeID", order.exchange);
    row.add("OrderSubmitStatus", one_char(order.submit_status));
    row.add("TradingDay", trading_day);
    row.add("OrderSysID", order.sys_id);
    row.add("OrderStatus", ctp_text(order.status));
    row.add("VolumeTraded", std::int64_t{order.traded});
    row.add("VolumeTotal", std::int64_t{order.working() ? order.left() : 0});
    row.add("InsertDate", order.insert_date);
    row.add("InsertTime", order.insert_time);
    row.add("UpdateTime", order.update_time);
    row.add("CancelTime", order.cancel_time);
    row.add("SequenceNo", std::int64_t{order.sequence});
    row.add("FrontID", std::int64_t{order.front_id});
    row.add("SessionID", std::int64_t{order.session_id});
    row.add("StatusMsg", order.status_msg);
    row.add("UserForceClose", std::int64_t{0});
    row.add("BrokerOrderSeq", std::int64_t{order.sequence});
    return row;
}

Fields trade_row(const Trade& trade, const std::string& trading_day) {
    Fields row;
    row.add("BrokerID", trade.broker_id);
    row.add("InvestorID", trade.investor_id);
    row.add("InstrumentID", trade.instrument);
    row.add("OrderRef", trade.order_ref);
    row.add("UserID", trade.user_id);
    row.add("ExchangeID", trade.exchange);
    row.add("TradeID", trade.trade_id);
    row.add("Direction", one_char(trade.direction));
    row.add("OrderSysID", trade.sys_id);
    row.add("OffsetFlag", ctp_text(trade.offset));
    row.add("HedgeFlag", std::string("1"));
    row.add("Price", trade.price);
    row.add("Volume", std::int64_t{trade.volume});
    row.add("TradeDate", trade.trade_date);
    row.add("TradeTime", trade.trade_time);
    row.add("TradeType", std::string("0"));
    row.add("SequenceNo", std::int64_t{trade.sequence});
    row.add("TradingDay", trading_day);
    row.add("BrokerOrderSeq", std::int64_t{trade.sequence});
    return row;
}

Fields account_row(const Book& book, const Funds& funds, const std::string& trading_day) {
    Fields row;
    row.add("BrokerID", book.account.broker_id);
    row.add("AccountID", book.account.user_id);
    row.add("PreBalance", book.pre_balance);
    row.add("Deposit", book.deposit);
    row.add("Withdraw", book.withdraw);
    row.add("FrozenMargin", funds.frozen_margin);
    row.add("FrozenCash", 0.0);
    row.add("FrozenCommission", funds.frozen_commission);
    row.add("CurrMargin", funds.margin);
    row.add("Commission", book.commission);
    row.add("CloseProfit", book.close_profit);
    row.add("PositionProfit", funds.position_profit);
    row.add("Balance", funds.balance);
    row.add("Available", funds.available);
    row.add("WithdrawQuota", funds.available > 0 ? funds.available : 0.0);
    row.add("TradingDay", trading_day);
    row.add("SettlementID", std::int64_t{1});
    row.add("ExchangeMargin", funds.margin);
    row.add("CurrencyID", std::string("CNY"));
    return row;
}

Fields position_row(const PositionRowInput& input, const std::string& trading_day) {
    const InstrumentSpec& spec = *input.instrument;
    Fields row;
    row.add("InstrumentID", spec.instrument);
    row.add("BrokerID", input.book->account.broker_id);
    row.add("InvestorID", input.book->account.user_id);
    row.add("PosiDirection", std::string(input.is_long ? "2" : "3"));
    row.add("HedgeFlag", std::string("1"));
    row.add("PositionDate", one_char(input.position_date));
    row.add("YdPosition", std::int64_t{input.yd});
    row.add("Position", std::int64_t{input.position});
    row.add("OpenVolume", std::int64_t{input.carries_totals ? input.totals->open_volume : 0});
    row.add("CloseVolume", std::int64_t{input.carries_totals ? input.totals->close_volume : 0});
    row.add("PositionCost", input.cost);
    row.add("OpenCost", input.cost);
    row.add("UseMargin", input.margin);
    row.add("Commission", input.carries_totals ? input.totals->commission : 0.0);
    row.add("CloseProfit", input.carries_totals ? input.totals->close_profit : 0.0);
    row.add("PositionProfit", input.profit);
    row.add("TradingDay", trading_day);
    row.add("SettlementID", std::int64_t{1});
    row.add("ExchangeMargin", input.margin);
    row.add("TodayPosition", std::int64_t{input.today});
    row.add("MarginRateByMoney", spec.margin_rate);
    row.add("ExchangeID", spec.exchange);
    return row;
}

}  // namespace zqkit::ctp
