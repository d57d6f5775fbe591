// The simulated counter behind one front address: accounts, instruments, reference prices,
// sessions, request handling, order matching and the fault switches.
//
// Every member is used only with the world lock held (world.hpp). The members live in files
// named for what they do: counter.cpp (sessions, dispatch, delivery), login.cpp, queries.cpp,
// orders.cpp (checks, insert, cancel), matching.cpp, funds.cpp and settlement.cpp (new day).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "book.hpp"
#include "exchange_rules.hpp"
#include "settings.hpp"
#include "values.hpp"

namespace zqkit::ctp {

class Connection;

// Faults injected by the control functions; each count is consumed as it fires.
struct Faults {
    int refuse_count = 0;  // next requests answered by `request` with refuse_code
    int refuse_code = -2;
    int fail_query_count = 0;  // next queries answered with fail_query_error
    int fail_query_error = 90;
    int withhold_count = 0;         // next requests accepted and then never answered
    int duplicate_trade_count = 0;  // next trades pushed twice
    int trade_first_count = 0;      // next trades pushed ahead of their order returns
};

class Counter {
  public:
    Counter(std::string address, FrontSettings settings);

    const std::string& address() const { return address_; }
    FrontOptions& options() { return options_; }
    Faults& faults() { return faults_; }
    bool has_sessions() const { return !sessions_.empty(); }
    bool has_instrument(const std::string& symbol) const { return instruments_.count(symbol) != 0; }

    // A connection reached the front: new session, "FrontConnected".
    void attach(Connection& connection);
    // The connection went away (closed by its owner); its login ends.
    void detach(Connection& connection);
    // Drop every connection ("FrontDisconnected"); each reconnects after `reconnect_after`.
    int drop_all(double reconnect_after);

    void handle(Connection& connection, const std::string& method, const Fields& fields,
                int request_id);

    // Control side.
    void set_price(const std::string& symbol, std::optional<double> price);
    void set_trading_day(const std::string& day);

  private:
    struct Session {
        int session_id = 0;
        std::string authenticated_broker;
        std::string authenticated_user;
        Book* book = nullptr;  // set by a successful login
        long long last_order_ref = 0;
    };

    // Login and settlement.
    void authenticate(Connection& connection, Session& session, const Fields& fields,
                      int request_id);
    void login(Connection& connection, Session& session, const Fields& fields, int request_id);
    void confirm_settlement(Connection& connection, Session& session, int request_id);

    // Queries.
    void query(Connection& connection, Session& session, const std::string& method,
               const Fields& fields, int request_id);
    std::vector<Fields> query_rows(const Book& book, const std::string& method,
                                   const Fields& fields) const;
    std::vector<Fields> position_rows(const Book& book, const std::string& instrument) const;

    // Orders.
    void insert_order(Connection& connection, Session& session, const Fields& fields,
                      int request_id);
    std::optional<ErrorInfo> check_request(const Session& session, const Fields& fields,
                                           const Order& order, std::optional<Offset> offset) const;
    std::optional<ErrorInfo> check_against_book(const Book& book, const Order& order) const;
    std::optional<ErrorInfo> check_close(const Book& book, const Order& order) const;
    std::optional<ErrorInfo> check_funds(const Book& book, const Order& order) const;
    void cancel_order(Connection& connection, Session& session, const Fields& fields,
                      int request_id);
    Order* find_order(Book& book, const Session& session, const Fields& fields);

    // Matching and book keeping.
    void match(Book& book, Order& order, bool on_arrival, std::vector<Event>& batch);
    void expire_remainder(Order& order, std::vector<Event>& batch);
    void fill(Book& book, Order& order, int volume, double price, std::vector<Event>& batch);
    void apply_close(Book& book, const Order& order, int volume, double price);
    Funds funds(const Book& book) const;
    void settle(Book& book);

    // Delivery.
    void answer(Connection& connection, const std::string& name, int request_id,
                std::vector<Fields> rows);
    void publish(const Book& book, std::vector<Event>& batch);

    Book* find_book(const std::string& broker_id, const std::string& user_id);
    const InstrumentSpec& instrument(const std::string& symbol) const {
        return instruments_.at(symbol);
    }
    std::optional<double> price(const std::string& symbol) const;

    std::string address_;
    std::string trading_day_;
    int front_id_;
    FrontOptions options_;
    Faults faults_;
    std::vector<std::string> instrument_order_;
    std::map<std::string, InstrumentSpec> instruments_;
    std::map<std::string, double> prices_;
    std::vector<Book> books_;
    std::map<Connection*, Session> sessions_;
    int next_session_id_ = 100001;
    long long next_sys_id_ = 100001;
    TradeNumbers trade_numbers_;
    int next_sequence_ = 1;
};

}  // namespace zqkit::ctp
