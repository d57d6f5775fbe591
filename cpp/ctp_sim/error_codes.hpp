// The error numbers and texts this counter answers with. The numbers follow the usual CTP
// meanings; the session only treats 90 and 154 specially (retry), so the rest are for people.
#pragma once

#include "values.hpp"

namespace zqkit::ctp::errors {

inline ErrorInfo ok() {
    return {0, "正确"};
}
inline ErrorInfo invalid_login() {
    return {3, "不合法的登录：用户名或密码错误"};
}
inline ErrorInfo duplicate_login() {
    return {5, "重复的登录"};
}
inline ErrorInfo not_logged_in() {
    return {6, "还没有登录"};
}
inline ErrorInfo no_privilege() {
    return {9, "无此权限：请求中的经纪公司或投资者与登录用户不符"};
}
inline ErrorInfo bad_field(std::string detail) {
    return {15, "报单字段有误：" + detail};
}
inline ErrorInfo instrument_not_found() {
    return {16, "找不到合约"};
}
inline ErrorInfo instrument_not_trading() {
    return {17, "合约不能交易"};
}
inline ErrorInfo duplicate_order_ref() {
    return {22, "不允许重复报单：报单引用必须递增"};
}
inline ErrorInfo bad_action_field(std::string detail) {
    return {23, "错误的报单操作字段：" + detail};
}
inline ErrorInfo order_not_found() {
    return {25, "撤单找不到相应报单"};
}
inline ErrorInfo unsuitable_order_status() {
    return {26, "报单已全成交或已撤销，不能再撤"};
}
inline ErrorInfo over_close_position() {
    return {30, "平仓量超过持仓量"};
}
inline ErrorInfo insufficient_money() {
    return {31, "资金不足"};
}
inline ErrorInfo settlement_not_confirmed() {
    return {42, "结算结果未确认"};
}
inline ErrorInfo over_close_today() {
    return {50, "平今仓位不足"};
}
inline ErrorInfo over_close_yesterday() {
    return {51, "平昨仓位不足"};
}
inline ErrorInfo authenticate_failed() {
    return {63, "客户端认证失败：AppID 或授权码错误"};
}
inline ErrorInfo not_authenticated() {
    return {64, "客户端未认证，请先认证再登录"};
}
inline ErrorInfo need_retry() {
    return {90, "查询未就绪，请稍后重试"};
}
inline ErrorInfo injected(int id) {
    if (id == 90) return need_retry();
    return {id, "柜台暂时无法处理请求，请稍后重试"};
}

}  // namespace zqkit::ctp::errors
