#include "core/coro.hpp"
#include "trading/bindings.hpp"
#include "trading/module_state.hpp"

namespace tr = zqkit::trading;

NB_MODULE(trading, m) {
    zqkit::core::init_coroutines(m);
    tr::set_module_dict(tr::globals_of(m));
    tr::bind_imports(m);
    tr::bind_time_zone(m);
    tr::bind_session_tables(m);
    tr::bind_field_conversions(m);
    tr::bind_order_ids(m);
    tr::bind_native(m);
    tr::bind_trading(m);
}
