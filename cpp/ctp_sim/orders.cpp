// Order insert and cancel: the counter's checks, then acceptance and the first returns.
#include <algorithm>
#include <cmath>

#include "clock.hpp"
#include "connection.hpp"
#include "counter.hpp"
#include "counter_helpers.hpp"
#include "error_codes.hpp"
#include "exchange_rules.hpp"
#include "rows.hpp"

namespace zqkit::ctp {

void Counter::insert_order(Connection& connection, Session& session, const Fields& fields,
                           int request_id) {
    Book& book = *session.book;
    Order order;
    order.broker_id = book.account.broker_id;
    order.investor_id = book.account.user_id;
    order.user_id = fields.text("UserID", book.account.user_id);
    order.instrument = fields.text("InstrumentID");
    order.exchange = fields.text("ExchangeID");
    if (order.exchange.empty()) {
        // A request may leave the exchange out when the contract code is unambiguous.
        for (const auto& [symbol, spec] : instruments_) {
            if (spec.instrument == order.instrument) order.exchange = spec.exchange;
        }
    }
    order.symbol = order.exchange + "." + order.instrument;
    order.order_ref = fields.text("OrderRef");
    order.front_id = front_id_;
    order.session_id = session.session_id;
    order.request_id = request_id;
    order.direction = first_char(fields.text("Direction"), ' ');
    order.time_condition = first_char(fields.text("TimeCondition", "3"), ' ');
    order.volume_condition = first_char(fields.text("VolumeCondition", "1"), ' ');
    order.limit_price = fields.number("LimitPrice").value_or(0.0);
    auto volume = fields.integer("VolumeTotalOriginal").value_or(0);
    order.volume = static_cast<int>(std::clamp<std::int64_t>(volume, -1, 2147483647));

    std::optional<Offset> offset = parse_offset(fields.text("CombOffsetFlag"));
    std::optional<ErrorInfo> error = check_request(session, fields, order, offset);
    if (!error) {
        order.offset = *offset;
        error = check_against_book(book, order);
    }
    if (error) {
        reject(connection, "OrderInsert", fields, request_id, *error);
        return;
    }
    // The reference: the one given, or the next after the session's last.
    long long ref =
        order.order_ref.empty() ? session.last_order_ref + 1 : std::stoll(trimmed(order.order_ref));
    if (order.order_ref.empty()) order.order_ref = std::to_string(ref);
    session.last_order_ref = ref;
    book.max_order_ref = std::max(book.max_order_ref, ref);

    auto [date, clock] = china_clock();
    order.insert_date = date;
    order.insert_time = order.update_time = clock;
    order.sequence = next_sequence_++;
    order.status = OrderStatus::Unknown;
    order.submit_status = '0';
    order.status_msg = "报单已提交";
    book.orders.push_back(std::move(order));
    Order& placed = book.orders.back();

    std::vector<Event> batch;
    batch.push_back(make_event("RtnOrder", order_row(placed, trading_day_)));
    placed.sys_id = exchange_number(next_sys_id_++);
    placed.status = OrderStatus::NoTradeQueueing;
    placed.submit_status = '3';
    placed.status_msg = "未成交";
    batch.push_back(make_event("RtnOrder", order_row(placed, trading_day_)));
    match(book, placed, true, batch);
    publish(book, batch);
}

// The request on its own: the instrument, the fields and the order reference.
std::optional<ErrorInfo> Counter::check_request(const Session& session, const Fields& fields,
                                                const Order& order,
                                                std::optional<Offset> offset) const {
    const Book& book = *session.book;
    if (book.confirmed_day != trading_day_) return errors::settlement_not_confirmed();
    auto found = instruments_.find(order.symbol);
    if (found == instruments_.end()) return errors::instrument_not_found();
    const InstrumentSpec& spec = found->second;
    if (!spec.is_trading) return errors::instrument_not_trading();
    if (fields.text("OrderPriceType", "2") != "2") return errors::bad_field("仅支持限价单");
    if (order.direction != '0' && order.direction != '1') {
        return errors::bad_field("Direction 必须是 0 或 1");
    }
    if (!offset) return errors::bad_field("CombOffsetFlag 必须是 0、1、3 或 4");
    if (first_char(fields.text("CombHedgeFlag", "1"), ' ') != '1') {
        return errors::bad_field("仅支持投机单");
    }
    if ((order.time_condition != '1' && order.time_condition != '3') ||
        (order.volume_condition != '1' && order.volume_condition != '3') ||
        (order.volume_condition == '3' && order.time_condition != '1')) {
        return errors::bad_field("仅支持当日有效单、FAK 和 FOK");
    }
    if (!std::isfinite(order.limit_price) || order.limit_price <= 0) {
        return errors::bad_field("报单价格必须大于 0");
    }
    double ticks = order.limit_price / spec.tick;
    if (std::fabs(ticks - std::round(ticks)) > 1e-7) {
        return errors::bad_field("报单价格不是最小变动价位的整数倍");
    }
    if (order.volume < spec.min_volume || order.volume > spec.max_volume) {
        return errors::bad_field("报单数量超出合约限价委托范围");
    }
    if (!order.order_ref.empty()) {
        std::string digits = trimmed(order.order_ref);
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
            return errors::bad_field("OrderRef 必须由数字组成");
        }
        if (std::stoll(digits) <= session.last_order_ref) return errors::duplicate_order_ref();
    }
    return std::nullopt;
}

// What the book has to give: free position to close, then funds.
std::optional<ErrorInfo> Counter::check_against_book(const Book& book, const Order& order) const {
    if (order.offset != Offset::Open) {
        if (auto error = check_close(book, order)) return error;
    }
    return check_funds(book, order);
}

// Working closes of one side may fill in any order, and a plain close may take earlier days'
// lots when it fills (close_source). So every close-yesterday
// order, together with the plain closes that could fill before it, must fit in the earlier
// days' lots; otherwise a later fill would report close-yesterday lots the book no longer has.
std::optional<ErrorInfo> Counter::check_close(const Book& book, const Order& order) const {
    bool closes_long = !order.is_buy();
    int history = 0;
    int today = 0;
    auto found = book.positions.find({order.symbol, closes_long});
    if (found != book.positions.end()) {
        history = found->second.history;
        today = found->second.today;
    }
    // Lots asked for by flag, the working closes of the same side and this order together.
    int from_history = 0;
    int from_today = 0;
    int plain = 0;
    auto count = [&](const Order& close, int lots) {
        switch (close_source(close.exchange, close.offset)) {
            case CloseSource::Today:
                from_today += lots;
                break;
            case CloseSource::EarlierDays:
                from_history += lots;
                break;
            case CloseSource::EarlierDaysFirst:
                plain += lots;
                break;
        }
    };
    for (const auto& other : book.orders) {
        if (other.working() && other.offset != Offset::Open && other.symbol == order.symbol &&
            other.direction == order.direction) {
            count(other, other.left());
        }
    }
    count(order, order.volume);
    if (from_history + from_today + plain > history + today) return errors::over_close_position();
    if (from_today > today) return errors::over_close_today();
    if (from_history > 0 && from_history + plain > history) {
        bool asks_history = close_source(order.exchange, order.offset) == CloseSource::EarlierDays;
        return asks_history ? errors::over_close_yesterday() : errors::over_close_position();
    }
    return std::nullopt;
}

std::optional<ErrorInfo> Counter::check_funds(const Book& book, const Order& order) const {
    const InstrumentSpec& spec = instrument(order.symbol);
    double needed = order.volume * spec.commission;
    if (order.offset == Offset::Open) {
        needed += order.volume * order.limit_price * spec.multiplier * spec.margin_rate;
    }
    if (needed > funds(book).available + 1e-6) return errors::insufficient_money();
    return std::nullopt;
}

Order* Counter::find_order(Book& book, const Session& session, const Fields& fields) {
    std::string sys_id = trimmed(fields.text("OrderSysID"));
    std::string exchange = fields.text("ExchangeID");
    if (!sys_id.empty()) {
        for (auto& order : book.orders) {
            if (trimmed(order.sys_id) == sys_id &&
                (exchange.empty() || exchange == order.exchange)) {
                return &order;
            }
        }
        return nullptr;
    }
    std::string ref = trimmed(fields.text("OrderRef"));
    auto front = fields.integer("FrontID").value_or(front_id_);
    auto session_id = fields.integer("SessionID").value_or(session.session_id);
    if (ref.empty()) return nullptr;
    for (auto& order : book.orders) {
        if (trimmed(order.order_ref) == ref && order.front_id == front &&
            order.session_id == session_id) {
            return &order;
        }
    }
    return nullptr;
}

void Counter::cancel_order(Connection& connection, Session& session, const Fields& fields,
                           int request_id) {
    Book& book = *session.book;
    if (fields.text("ActionFlag", "0") != "0") {
        reject(connection, "OrderAction", fields, request_id,
               errors::bad_action_field("仅支持撤单（ActionFlag 为 0）"));
        return;
    }
    Order* order = find_order(book, session, fields);
    if (order == nullptr) {
        reject(connection, "OrderAction", fields, request_id, errors::order_not_found());
        return;
    }
    if (!order->working()) {
        reject(connection, "OrderAction", fields, request_id, errors::unsuitable_order_status());
        return;
    }
    auto [date, clock] = china_clock();
    order->status = OrderStatus::Canceled;
    order->status_msg = "已撤单";
    order->cancel_time = order->update_time = clock;
    std::vector<Event> batch;
    batch.push_back(make_event("RtnOrder", order_row(*order, trading_day_)));
    publish(book, batch);
}

}  // namespace zqkit::ctp
