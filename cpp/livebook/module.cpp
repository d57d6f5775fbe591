#include "livebook/bindings.hpp"

namespace lb = zqkit::livebook;

NB_MODULE(livebook, m) {
    m.doc() = "Read-only, identity-preserving trading views.";
    lb::bind_imports(m);
    lb::bind_trading_result(m);
    lb::bind_ctp_account(m);
    lb::bind_live_object(m);
    lb::bind_live_map(m);
    lb::bind_records(m);
    lb::bind_empty_position(m);
}
