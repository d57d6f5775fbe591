// The CTP one-character codes the counter reasons about, as enums. Each enumerator holds
// its CTP character, so the edges convert with `ctp_text` (rows) and `parse_offset`
// (requests) and nothing in between compares raw characters.
#pragma once

#include <optional>
#include <string>

namespace zqkit::ctp {

// CombOffsetFlag of an order, OffsetFlag of a trade. Force-close flags are not taken.
enum class Offset : char {
    Open = '0',
    Close = '1',  // plain close: which lots it takes depends on the exchange
    CloseToday = '3',
    CloseYesterday = '4',
};

// OrderStatus of an order return.
enum class OrderStatus : char {
    AllTraded = '0',
    PartTradedQueueing = '1',
    NoTradeQueueing = '3',
    Canceled = '5',
    Unknown = 'a',  // submitted, not yet accepted by the exchange
};

inline std::string ctp_text(Offset offset) {
    return std::string(1, static_cast<char>(offset));
}

inline std::string ctp_text(OrderStatus status) {
    return std::string(1, static_cast<char>(status));
}

// The offset named by the first character of a request's CombOffsetFlag; nullopt for an
// empty flag or one the counter does not take.
inline std::optional<Offset> parse_offset(const std::string& flag) {
    if (flag.empty()) return std::nullopt;
    switch (flag[0]) {
        case '0':
            return Offset::Open;
        case '1':
            return Offset::Close;
        case '3':
            return Offset::CloseToday;
        case '4':
            return Offset::CloseYesterday;
        default:
            return std::nullopt;
    }
}

}  // namespace zqkit::ctp
