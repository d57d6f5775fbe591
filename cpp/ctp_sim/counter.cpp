#include "counter.hpp"

#include <algorithm>
#include <cmath>

#include "connection.hpp"
#include "error_codes.hpp"
#include "rows.hpp"

namespace zqkit::ctp {

namespace {

std::string trimmed(const std::string& text) {
    auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

char first_char(const std::string& text, char fallback) {
    return text.empty() ? fallback : text[0];
}

// Lots a close order takes from the earlier-days and today buckets. On SHFE and INE a plain
// close means close yesterday; elsewhere earlier days' lots go first.
std::pair<int, int> close_parts(const std::string& exchange, char offset, int volume, int history) {
    if (offset == '3') return {0, volume};
    if (offset == '4' || is_split_exchange(exchange)) return {volume, 0};
    int from_history = std::min(std::max(history, 0), volume);
    return {from_history, volume - from_history};
}

Event make_event(std::string name, std::optional<Fields> data, int request_id = 0, bool last = true,
                 std::optional<ErrorInfo> error = std::nullopt) {
    Event event;
    event.name = std::move(name);
    event.data = std::move(data);
    event.request_id = request_id;
    event.last = last;
    event.error = std::move(error);
    return event;
}

void reject(Connection& connection, const char* method, const Fields& fields, int request_id,
            const ErrorInfo& error) {
    // The answer to the request, then the error return, as a counter sends both.
    connection.deliver(make_event(std::string("Rsp") + method, fields, request_id, true, error));
    connection.deliver(make_event(std::string("ErrRtn") + method, fields, 0, true, error));
}

}  // namespace

Counter::Counter(std::string address, FrontSettings settings)
    : address_(std::move(address)),
      trading_day_(std::move(settings.trading_day)),
      front_id_(settings.front_id),
      options_(settings.options) {
    for (auto& spec : settings.instruments) {
        instrument_order_.push_back(spec.symbol);
        instruments_.emplace(spec.symbol, std::move(spec));
    }
    books_.reserve(settings.accounts.size());
    for (auto& account : settings.accounts) {
        Book book;
        book.pre_balance = account.balance;
        for (const auto& held : account.positions) {
            double lot_value = held.price * instrument(held.symbol).multiplier;
            PositionBook& position = book.positions[{held.symbol, held.is_long}];
            position.yd += held.history;
            position.history += held.history;
            position.history_cost += lot_value * held.history;
            position.today += held.today;
            position.today_cost += lot_value * held.today;
        }
        book.account = std::move(account);
        books_.push_back(std::move(book));
    }
}

// ---- connections -------------------------------------------------------------------------

void Counter::attach(Connection& connection) {
    Session session;
    session.session_id = next_session_id_++;
    sessions_[&connection] = session;
    connection.on_attached(*this);
    connection.deliver(make_event("FrontConnected", std::nullopt));
}

void Counter::detach(Connection& connection) {
    sessions_.erase(&connection);
}

int Counter::drop_all(double reconnect_after) {
    auto sessions = std::move(sessions_);
    sessions_.clear();
    for (auto& [connection, session] : sessions) connection->on_dropped(reconnect_after);
    return static_cast<int>(sessions.size());
}

void Counter::handle(Connection& connection, const std::string& method, const Fields& fields,
                     int request_id) {
    auto found = sessions_.find(&connection);
    if (found == sessions_.end()) return;
    Session& session = found->second;
    if (method == "Authenticate") return authenticate(connection, session, fields, request_id);
    if (method == "UserLogin") return login(connection, session, fields, request_id);

    std::optional<ErrorInfo> refusal;
    if (session.book == nullptr) {
        refusal = errors::not_logged_in();
    } else {
        // Every later request names the investor; it must be the one logged in.
        std::string broker = fields.text("BrokerID");
        std::string investor = fields.text("InvestorID");
        if ((!broker.empty() && broker != session.book->account.broker_id) ||
            (!investor.empty() && investor != session.book->account.user_id)) {
            refusal = errors::no_privilege();
        }
    }
    if (refusal) {
        if (method == "OrderInsert" || method == "OrderAction") {
            reject(connection, method.c_str(), fields, request_id, *refusal);
        } else {
            connection.deliver(make_event("Rsp" + method, std::nullopt, request_id, true, refusal));
        }
        return;
    }
    if (method == "SettlementInfoConfirm")
        return confirm_settlement(connection, session, request_id);
    if (method == "OrderInsert") return insert_order(connection, session, fields, request_id);
    if (method == "OrderAction") return cancel_order(connection, session, fields, request_id);
    query(connection, session, method, fields, request_id);
}

// ---- login ---------------------------------------------------------------------------------

Book* Counter::find_book(const std::string& broker_id, const std::string& user_id) {
    for (auto& book : books_) {
        if (book.account.broker_id == broker_id && book.account.user_id == user_id) return &book;
    }
    return nullptr;
}

void Counter::authenticate(Connection& connection, Session& session, const Fields& fields,
                           int request_id) {
    std::string broker = fields.text("BrokerID");
    std::string user = fields.text("UserID");
    Book* book = find_book(broker, user);
    if (book == nullptr || book->account.app_id != fields.text("AppID") ||
        book->account.auth_code != fields.text("AuthCode")) {
        connection.deliver(make_event("RspAuthenticate", std::nullopt, request_id, true,
                                      errors::authenticate_failed()));
        return;
    }
    session.authenticated_broker = broker;
    session.authenticated_user = user;
    Fields row;
    row.add("BrokerID", broker);
    row.add("UserID", user);
    row.add("UserProductInfo", fields.text("UserProductInfo"));
    row.add("AppID", book->account.app_id);
    row.add("AppType", std::string("1"));
    connection.deliver(
        make_event("RspAuthenticate", std::move(row), request_id, true, errors::ok()));
}

void Counter::login(Connection& connection, Session& session, const Fields& fields,
                    int request_id) {
    std::string broker = fields.text("BrokerID");
    std::string user = fields.text("UserID");
    Book* book = find_book(broker, user);
    std::optional<ErrorInfo> error;
    if (session.book != nullptr) {
        error = ErrorInfo{5, "重复的登录"};
    } else if (session.authenticated_broker != broker || session.authenticated_user != user) {
        error = errors::not_authenticated();
    } else if (book == nullptr || book->account.password != fields.text("Password")) {
        error = errors::invalid_login();
    }
    if (error) {
        connection.deliver(make_event("RspUserLogin", std::nullopt, request_id, true, error));
        return;
    }
    session.book = book;
    auto [date, clock] = china_clock();
    Fields row;
    row.add("TradingDay", trading_day_);
    row.add("LoginTime", clock);
    row.add("BrokerID", broker);
    row.add("UserID", user);
    row.add("SystemName", std::string("ZQKIT-SIM"));
    row.add("FrontID", std::int64_t{front_id_});
    row.add("SessionID", std::int64_t{session.session_id});
    row.add("MaxOrderRef", std::to_string(book->max_order_ref));
    for (const char* exchange : {"SHFETime", "DCETime", "CZCETime", "FFEXTime", "INETime"}) {
        row.add(exchange, clock);
    }
    connection.deliver(make_event("RspUserLogin", std::move(row), request_id, true, errors::ok()));
}

void Counter::confirm_settlement(Connection& connection, Session& session, int request_id) {
    Book& book = *session.book;
    book.confirmed_day = trading_day_;
    auto [date, clock] = china_clock();
    Fields row;
    row.add("BrokerID", book.account.broker_id);
    row.add("InvestorID", book.account.user_id);
    row.add("ConfirmDate", date);
    row.add("ConfirmTime", clock);
    row.add("SettlementID", std::int64_t{1});
    row.add("AccountID", book.account.user_id);
    row.add("CurrencyID", std::string("CNY"));
    connection.deliver(
        make_event("RspSettlementInfoConfirm", std::move(row), request_id, true, errors::ok()));
}

// ---- queries -------------------------------------------------------------------------------

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
        if (!is_split_exchange(spec.exchange)) {
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

// ---- orders --------------------------------------------------------------------------------

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
    order.offset = first_char(fields.text("CombOffsetFlag"), ' ');
    order.time_condition = first_char(fields.text("TimeCondition", "3"), ' ');
    order.volume_condition = first_char(fields.text("VolumeCondition", "1"), ' ');
    order.limit_price = fields.number("LimitPrice").value_or(0.0);
    auto volume = fields.integer("VolumeTotalOriginal").value_or(0);
    order.volume = static_cast<int>(std::clamp<std::int64_t>(volume, -1, 2147483647));

    if (auto error = check_order(session, fields, order)) {
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
    order.status = 'a';
    order.submit_status = '0';
    order.status_msg = "报单已提交";
    book.orders.push_back(std::move(order));
    Order& placed = book.orders.back();

    std::vector<Event> batch;
    batch.push_back(make_event("RtnOrder", order_row(placed, trading_day_)));
    placed.sys_id = exchange_number(next_sys_id_++);
    placed.status = '3';
    placed.submit_status = '3';
    placed.status_msg = "未成交";
    batch.push_back(make_event("RtnOrder", order_row(placed, trading_day_)));
    match(book, placed, true, batch);
    publish(book, batch);
}

std::optional<ErrorInfo> Counter::check_order(const Session& session, const Fields& fields,
                                              const Order& order) const {
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
    if (std::string("0134").find(order.offset) == std::string::npos || order.offset == '\0') {
        return errors::bad_field("CombOffsetFlag 必须是 0、1、3 或 4");
    }
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
    if (order.offset != '0') {
        if (auto error = check_close(book, order)) return error;
    }
    return check_funds(book, order);
}

std::optional<ErrorInfo> Counter::check_close(const Book& book, const Order& order) const {
    bool closes_long = !order.is_buy();
    int history = 0;
    int today = 0;
    auto found = book.positions.find({order.symbol, closes_long});
    if (found != book.positions.end()) {
        history = found->second.history;
        today = found->second.today;
    }
    // Lots already reserved by working close orders of the same side.
    for (const auto& other : book.orders) {
        if (!other.working() || other.offset == '0' || other.symbol != order.symbol ||
            other.direction != order.direction) {
            continue;
        }
        auto [from_history, from_today] =
            close_parts(other.exchange, other.offset, other.left(), std::max(history, 0));
        history -= from_history;
        today -= from_today;
    }
    history = std::max(history, 0);
    today = std::max(today, 0);
    if (order.volume > history + today) return errors::over_close_position();
    if (order.offset == '3' && order.volume > today) return errors::over_close_today();
    if ((order.offset == '4' || is_split_exchange(order.exchange)) && order.offset != '3' &&
        order.volume > history) {
        return errors::over_close_yesterday();
    }
    return std::nullopt;
}

std::optional<ErrorInfo> Counter::check_funds(const Book& book, const Order& order) const {
    const InstrumentSpec& spec = instrument(order.symbol);
    double needed = order.volume * spec.commission;
    if (order.offset == '0') {
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
    order->status = '5';
    order->status_msg = "已撤单";
    order->cancel_time = order->update_time = clock;
    std::vector<Event> batch;
    batch.push_back(make_event("RtnOrder", order_row(*order, trading_day_)));
    publish(book, batch);
}

// ---- matching and book keeping -------------------------------------------------------------

std::optional<double> Counter::price(const std::string& symbol) const {
    auto found = prices_.find(symbol);
    if (found == prices_.end()) return std::nullopt;
    return found->second;
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
    order.status = '5';
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
    trade.trade_id = exchange_number(next_trade_id_++);
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
    if (order.offset == '0') {
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
    order.status = order.left() == 0 ? '0' : '1';
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

void Counter::set_trading_day(const std::string& day) {
    if (day == trading_day_) return;
    for (auto& book : books_) settle(book);
    trading_day_ = day;
}

// ---- delivery ------------------------------------------------------------------------------

void Counter::answer(Connection& connection, const std::string& name, int request_id,
                     std::vector<Fields> rows) {
    if (rows.empty()) {
        connection.deliver(make_event(name, std::nullopt, request_id, true));
        return;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        connection.deliver(make_event(name, std::move(rows[i]), request_id, i + 1 == rows.size()));
    }
}

void Counter::publish(const Book& book, std::vector<Event>& batch) {
    if (batch.empty()) return;
    // Order and trade returns go to every session logged in to the account.
    for (auto& [connection, session] : sessions_) {
        if (session.book != &book) continue;
        for (const auto& event : batch) connection->deliver(event);
    }
}

}  // namespace zqkit::ctp
