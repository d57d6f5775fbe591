// Loops for bench/bench_bridge.py, next to their pure-Python twins there.
#include "bridge_check/checks.hpp"

namespace zqkit::bridge_check {

namespace {

Task<> sleep_rounds(long rounds) {
    nb::object asyncio_module = asyncio();
    for (long i = 0; i < rounds; ++i) {
        nb::object sleeping = asyncio_module.attr("sleep")(0);
        co_await std::move(sleeping);
    }
}

}  // namespace

void register_bench(nb::module_& m) {
    core::def_coroutine(m, "sleep_rounds", &sleep_rounds, nb::arg("rounds"));
}

}  // namespace zqkit::bridge_check
