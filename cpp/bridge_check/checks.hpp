// C++ coroutines that exercise the bridge from the test suite, one register function per file.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "core/coro.hpp"

namespace zqkit::bridge_check {

namespace nb = nanobind;
using core::Task;

inline nb::object asyncio() {
    return nb::module_::import_("asyncio");
}

void register_awaiting(nb::module_& m);
void register_failures(nb::module_& m);
void register_contexts(nb::module_& m);
void register_bench(nb::module_& m);

}  // namespace zqkit::bridge_check
