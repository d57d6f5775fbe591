#include "trading/bindings.hpp"

namespace tr = zqkit::trading;

NB_MODULE(trading, m) {
    tr::bind_imports(m);
    tr::bind_time_zone(m);
    tr::bind_field_conversions(m);
    tr::bind_native(m);
}
