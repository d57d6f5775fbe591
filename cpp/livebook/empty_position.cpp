// empty_position: the session's private position record for one instrument.
#include "livebook/bindings.hpp"

namespace zqkit::livebook {

namespace {

constexpr const char* kQuantities[] = {"pos_long",       "pos_short",       "pos",
                                       "pos_long_today", "pos_short_today", "pos_long_his",
                                       "pos_short_his",  "frozen_long",     "frozen_short",
                                       "available_long", "available_short"};

// Without an update time the quantities are unknown (None); with one they are a known zero.
nb::dict empty_position(nb::handle symbol, nb::handle updated_at) {
    nb::object quantity = updated_at.is_none() ? nb::object(nb::none()) : nb::object(nb::int_(0));
    nb::dict position;
    for (const char* key : kQuantities) position[key] = quantity;
    position["symbol"] = symbol;
    position["updated_at"] = updated_at;
    return position;
}

}  // namespace

void bind_empty_position(nb::module_& m) {
    m.def("empty_position", &empty_position, nb::arg("symbol").none(),
          nb::arg("updated_at").none() = nb::none(),
          nb::sig("def empty_position(symbol: str, updated_at: int | None = None) -> dict"));
}

}  // namespace zqkit::livebook
