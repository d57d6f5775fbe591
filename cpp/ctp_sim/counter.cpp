#include "counter.hpp"

#include "connection.hpp"
#include "counter_helpers.hpp"
#include "error_codes.hpp"

namespace zqkit::ctp {

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

Book* Counter::find_book(const std::string& broker_id, const std::string& user_id) {
    for (auto& book : books_) {
        if (book.account.broker_id == broker_id && book.account.user_id == user_id) return &book;
    }
    return nullptr;
}

std::optional<double> Counter::price(const std::string& symbol) const {
    auto found = prices_.find(symbol);
    if (found == prices_.end()) return std::nullopt;
    return found->second;
}

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
