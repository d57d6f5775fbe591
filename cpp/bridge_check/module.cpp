#include "bridge_check/checks.hpp"

NB_MODULE(_bridge_check, m) {
    m.doc() = "C++ coroutines that exist only to exercise the coroutine bridge in tests.";
    zqkit::core::init_coroutines(m);
    zqkit::bridge_check::register_awaiting(m);
    zqkit::bridge_check::register_failures(m);
    zqkit::bridge_check::register_contexts(m);
    zqkit::bridge_check::register_bench(m);
}
