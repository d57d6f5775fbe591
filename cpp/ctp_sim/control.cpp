#include "control.hpp"

#include <cmath>
#include <optional>
#include <thread>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "connection.hpp"
#include "world.hpp"

namespace zqkit::ctp {

namespace nb = nanobind;

namespace {

// Runs `action` on the counter of `front` with the world lock held.
template <typename Action>
auto with_counter(const std::string& front, Action action) {
    std::lock_guard lock(world().mutex);
    Counter* counter = find_counter(front);
    if (counter == nullptr) throw nb::value_error(("前置 " + front + " 未配置").c_str());
    return action(*counter);
}

int checked_count(int count) {
    if (count < 0) throw nb::value_error("count 不能为负数");
    return count;
}

void configure_front(const std::string& front, nb::handle settings) {
    if (front.rfind("tcp://", 0) != 0) throw nb::value_error("front 必须形如 tcp://地址:端口");
    FrontSettings parsed = parse_front_settings(settings);
    auto counter = std::make_unique<Counter>(front, std::move(parsed));
    std::lock_guard lock(world().mutex);
    auto& slot = world().counters[front];
    if (slot && slot->has_sessions()) {
        throw nb::value_error(("前置 " + front + " 仍有连接，请先关闭它们或调用 reset()").c_str());
    }
    slot = std::move(counter);
}

void set_options(const std::string& front, nb::handle options) {
    FrontOptions current = with_counter(front, [](Counter& counter) { return counter.options(); });
    FrontOptions updated = parse_front_options(options, current);
    with_counter(front, [&](Counter& counter) { counter.options() = updated; });
}

void set_price(const std::string& front, const std::string& symbol, std::optional<double> price) {
    if (price && (!std::isfinite(*price) || *price <= 0)) {
        throw nb::value_error("price 必须是大于 0 的有限数，或 None");
    }
    with_counter(front, [&](Counter& counter) {
        if (!counter.has_instrument(symbol)) {
            throw nb::value_error(("前置 " + front + " 没有合约 " + symbol).c_str());
        }
        counter.set_price(symbol, price);
    });
}

int disconnect(const std::string& front, double reconnect_after) {
    if (!std::isfinite(reconnect_after) || reconnect_after < 0 || reconnect_after > 600) {
        throw nb::value_error("reconnect_after 必须在 0 到 600 秒之间");
    }
    return with_counter(front, [&](Counter& counter) { return counter.drop_all(reconnect_after); });
}

void fail_queries(const std::string& front, int count, int error_id) {
    if (error_id == 0) throw nb::value_error("error_id 不能为 0");
    checked_count(count);
    with_counter(front, [&](Counter& counter) {
        counter.faults().fail_query_count = count;
        counter.faults().fail_query_error = error_id;
    });
}

void refuse_requests(const std::string& front, int count, int code) {
    if (code == 0) throw nb::value_error("code 不能为 0");
    checked_count(count);
    with_counter(front, [&](Counter& counter) {
        counter.faults().refuse_count = count;
        counter.faults().refuse_code = code;
    });
}

void withhold_answers(const std::string& front, int count) {
    checked_count(count);
    with_counter(front, [&](Counter& counter) { counter.faults().withhold_count = count; });
}

void duplicate_trades(const std::string& front, int count) {
    checked_count(count);
    with_counter(front, [&](Counter& counter) { counter.faults().duplicate_trade_count = count; });
}

void trades_before_orders(const std::string& front, int count) {
    checked_count(count);
    with_counter(front, [&](Counter& counter) { counter.faults().trade_first_count = count; });
}

void set_trading_day(const std::string& front, const std::string& day) {
    if (!is_trading_day_text(day)) throw nb::value_error("day 必须是 8 位数字 YYYYMMDD");
    with_counter(front, [&](Counter& counter) { counter.set_trading_day(day); });
}

int open_connections() {
    std::lock_guard lock(world().mutex);
    return static_cast<int>(world().connections.size());
}

void reset() {
    // Hold every connection while its worker is joined, so that none is freed under it.
    std::vector<std::shared_ptr<Connection>> connections;
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(world().mutex);
        for (auto& [raw, weak] : world().connections) {
            if (auto connection = weak.lock()) connections.push_back(std::move(connection));
        }
        for (auto& connection : connections) workers.push_back(connection->shut_down());
        world().connections.clear();
        world().counters.clear();
    }
    nb::gil_scoped_release unlocked;
    for (auto& worker : workers) {
        if (worker.joinable()) worker.join();
    }
}

}  // namespace

void register_control(nb::module_& m) {
    m.def(
        "configure_front", &configure_front, nb::arg("front"), nb::arg("settings"),
        "建立（或在没有连接时替换）一个模拟前置：账户、合约、初始持仓与资金、交易日、延迟与限流。");
    m.def("set_options", &set_options, nb::arg("front"), nb::arg("options"),
          "修改前置的延迟、限流与成交量设置，不影响账户与委托。");
    m.def("set_price", &set_price, nb::arg("front"), nb::arg("symbol"), nb::arg("price").none(),
          "设置合约的参考价并重新撮合挂单；None 清除参考价（不再撮合）。");
    m.def("disconnect", &disconnect, nb::arg("front"), nb::arg("reconnect_after") = 0.05,
          "断开该前置的全部连接（FrontDisconnected），reconnect_after "
          "秒后各自重新连上；返回断开的连接数。");
    m.def("fail_queries", &fail_queries, nb::arg("front"), nb::arg("count") = 1,
          nb::arg("error_id") = 90, "接下来 count 个查询以 ErrorID error_id 应答。");
    m.def("refuse_requests", &refuse_requests, nb::arg("front"), nb::arg("count") = 1,
          nb::arg("code") = -2, "接下来 count 个请求由 request 直接返回 code。");
    m.def("withhold_answers", &withhold_answers, nb::arg("front"), nb::arg("count") = 1,
          "接下来 count 个请求被接受（返回 0），但既不处理也不应答。");
    m.def("duplicate_trades", &duplicate_trades, nb::arg("front"), nb::arg("count") = 1,
          "接下来 count 笔成交回报各推送两次。");
    m.def("trades_before_orders", &trades_before_orders, nb::arg("front"), nb::arg("count") = 1,
          "接下来 count 笔成交回报排在同批全部委托回报之前推送。");
    m.def("set_trading_day", &set_trading_day, nb::arg("front"), nb::arg("day"),
          "切换交易日并结算：今仓转为昨仓，委托与成交清空，静态权益结转。");
    m.def("open_connections", &open_connections, "当前未关闭的连接数。");
    m.def("reset", &reset, "关闭全部连接并删除全部前置（测试之间使用）。");
}

}  // namespace zqkit::ctp
