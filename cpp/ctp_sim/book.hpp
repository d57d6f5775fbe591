// One investor's book at one simulated front: orders, trades, positions and funds.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "flags.hpp"
#include "settings.hpp"

namespace zqkit::ctp {

struct Order {
    std::string broker_id;
    std::string investor_id;
    std::string user_id;
    std::string symbol;
    std::string exchange;
    std::string instrument;
    std::string order_ref;
    int front_id = 0;
    int session_id = 0;
    int request_id = 0;
    std::string sys_id;  // right-aligned like an exchange sends it; empty until accepted
    char direction = '0';
    Offset offset = Offset::Open;
    char time_condition = '3';
    char volume_condition = '1';
    double limit_price = 0.0;
    int volume = 0;
    int traded = 0;
    OrderStatus status = OrderStatus::Unknown;
    char submit_status = '0';  // OrderSubmitStatus
    std::string status_msg;
    std::string insert_date;
    std::string insert_time;
    std::string update_time;
    std::string cancel_time;
    int sequence = 0;

    int left() const { return volume - traded; }
    // Unknown, queueing or partly traded and queueing: still working at the exchange.
    bool working() const {
        return status == OrderStatus::Unknown || status == OrderStatus::NoTradeQueueing ||
               status == OrderStatus::PartTradedQueueing;
    }
    bool is_buy() const { return direction == '0'; }
};

struct Trade {
    std::string broker_id;
    std::string investor_id;
    std::string user_id;
    std::string trade_id;  // right-aligned like the order number
    std::string sys_id;
    std::string order_ref;
    std::string symbol;
    std::string exchange;
    std::string instrument;
    char direction = '0';
    Offset offset = Offset::Open;
    double price = 0.0;
    int volume = 0;
    std::string trade_date;
    std::string trade_time;
    int sequence = 0;
};

// One side of one instrument. Costs are price × lots × multiplier, kept per bucket so that
// close profit and margin follow the lots that are actually closed.
struct PositionBook {
    int yd = 0;  // lots held from earlier days at the start of the trading day
    int history = 0;
    int today = 0;
    double history_cost = 0.0;
    double today_cost = 0.0;
    int open_volume = 0;
    int close_volume = 0;
    double close_profit = 0.0;
    double commission = 0.0;

    int total() const { return history + today; }
    double cost() const { return history_cost + today_cost; }
};

struct Book {
    AccountSpec account;
    double pre_balance = 0.0;
    double deposit = 0.0;
    double withdraw = 0.0;
    double close_profit = 0.0;
    double commission = 0.0;
    std::string confirmed_day;  // trading day of the last settlement confirmation
    long long max_order_ref = 0;
    std::vector<Order> orders;
    std::vector<Trade> trades;
    std::map<std::pair<std::string, bool>, PositionBook> positions;  // (symbol, is_long)
};

// Funds derived from the book and the reference prices.
struct Funds {
    double balance = 0.0;
    double available = 0.0;
    double margin = 0.0;
    double frozen_margin = 0.0;
    double frozen_commission = 0.0;
    double position_profit = 0.0;
};

}  // namespace zqkit::ctp
