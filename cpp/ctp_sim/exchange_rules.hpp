// How the exchanges differ where the counter has to care: their numbers and the
// today / earlier-days split of positions.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "flags.hpp"

namespace zqkit::ctp {

// Exchange numbers (OrderSysID, TradeID) are right-aligned in a field of 12 characters.
std::string exchange_number(long long number);

// TradeIDs as the exchanges hand them out: each exchange numbers its own trades, so two
// exchanges may report the same TradeID on one day; within one exchange they increase.
class TradeNumbers {
  public:
    std::string next(const std::string& exchange);

  private:
    std::map<std::string, long long> next_;  // by exchange
};

// SHFE and INE keep a position's today lots apart from its earlier days' lots: a close there
// says which it takes (close today or close yesterday), a plain close counts as close
// yesterday, and a position is reported as a today row and an earlier-days row. The other
// exchanges hold one position per direction, and any close takes earlier days' lots first.
bool separates_today(const std::string& exchange);

// Which lots a close order takes. `offset` is a close.
enum class CloseSource {
    Today,
    EarlierDays,       // close yesterday, or a plain close on SHFE and INE
    EarlierDaysFirst,  // a plain close elsewhere: earlier days' lots, then today's
};
CloseSource close_source(const std::string& exchange, Offset offset);

// Lots a close of `volume` takes from the earlier-days and today buckets of a position that
// holds `history` earlier-days lots.
std::pair<int, int> close_parts(const std::string& exchange, Offset offset, int volume,
                                int history);

}  // namespace zqkit::ctp
