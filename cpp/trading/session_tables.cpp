// The module's tables: query kinds and their requests, the labels of messages, the account's
// CTP fields and the offset flags. Dicts keep the insertion order written here.
#include "trading/bindings.hpp"

#include <initializer_list>
#include <utility>

namespace zqkit::trading {

namespace {

using Pairs = std::initializer_list<std::pair<const char*, const char*>>;

nb::dict dict_of(Pairs pairs) {
    nb::dict table;
    for (const auto& [key, value] : pairs) table[key] = value;
    return table;
}

}  // namespace

void bind_session_tables(nb::module_& m) {
    nb::dict query = dict_of({{"instruments", "QryInstrument"},
                              {"orders", "QryOrder"},
                              {"trades_before", "QryTrade"},
                              {"positions", "QryInvestorPosition"},
                              {"trades_after", "QryTrade"},
                              {"account", "QryTradingAccount"}});
    m.attr("QUERY") = query;
    m.attr("SYNC_STEPS") = nb::tuple(query);
    m.attr("PHASE_LABELS") =
        dict_of({{"authenticate", "认证"}, {"login", "登录"}, {"settlement", "结算单确认"}});
    m.attr("QUERY_LABELS") = dict_of({{"instruments", "合约"},
                                      {"orders", "订单"},
                                      {"trades_before", "首次成交"},
                                      {"positions", "持仓"},
                                      {"trades_after", "复查成交"},
                                      {"account", "资金"}});
    m.attr("ACCOUNT_FIELDS") = dict_of({{"balance", "Balance"},
                                        {"available", "Available"},
                                        {"margin", "CurrMargin"},
                                        {"frozen_margin", "FrozenMargin"},
                                        {"commission", "Commission"},
                                        {"frozen_commission", "FrozenCommission"},
                                        {"close_profit", "CloseProfit"},
                                        {"position_profit", "PositionProfit"},
                                        {"deposit", "Deposit"},
                                        {"withdraw", "Withdraw"}});
    nb::dict offset_by_flag =
        dict_of({{"0", "OPEN"}, {"1", "CLOSE"}, {"3", "CLOSE_TODAY"}, {"4", "CLOSE_YESTERDAY"}});
    m.attr("OFFSET_BY_FLAG") = offset_by_flag;
    nb::dict flag_by_offset;
    for (auto [flag, offset] : offset_by_flag) flag_by_offset[offset] = flag;
    m.attr("FLAG_BY_OFFSET") = flag_by_offset;
}

}  // namespace zqkit::trading
