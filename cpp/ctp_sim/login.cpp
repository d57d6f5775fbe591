// Authentication, login and settlement confirmation.
#include "clock.hpp"
#include "connection.hpp"
#include "counter.hpp"
#include "counter_helpers.hpp"
#include "error_codes.hpp"

namespace zqkit::ctp {

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
        error = errors::duplicate_login();
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

}  // namespace zqkit::ctp
