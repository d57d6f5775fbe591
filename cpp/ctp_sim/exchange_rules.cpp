#include "exchange_rules.hpp"

#include <algorithm>
#include <cstdio>

namespace zqkit::ctp {

std::string exchange_number(long long number) {
    char text[32];
    std::snprintf(text, sizeof text, "%12lld", number);
    return text;
}

std::string TradeNumbers::next(const std::string& exchange) {
    auto slot = next_.try_emplace(exchange, 500001).first;
    return exchange_number(slot->second++);
}

bool separates_today(const std::string& exchange) {
    return exchange == "SHFE" || exchange == "INE";
}

CloseSource close_source(const std::string& exchange, Offset offset) {
    if (offset == Offset::CloseToday) return CloseSource::Today;
    if (offset == Offset::CloseYesterday || separates_today(exchange)) {
        return CloseSource::EarlierDays;
    }
    return CloseSource::EarlierDaysFirst;
}

std::pair<int, int> close_parts(const std::string& exchange, Offset offset, int volume,
                                int history) {
    switch (close_source(exchange, offset)) {
        case CloseSource::Today:
            return {0, volume};
        case CloseSource::EarlierDays:
            return {volume, 0};
        case CloseSource::EarlierDaysFirst:
            break;
    }
    int from_history = std::min(std::max(history, 0), volume);
    return {from_history, volume - from_history};
}

}  // namespace zqkit::ctp
