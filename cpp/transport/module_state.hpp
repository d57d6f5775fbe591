// Where the functions of zqkit.transport find their module at call time.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::transport {

namespace nb = nanobind;

// Remembers the module dict; its reference is kept for the life of the process on purpose,
// since functions of this module may still run while the interpreter finalises.
void set_module_dict(nb::handle dict);

// The module's dict, for monkeypatch-aware lookups.
nb::handle module_dict();

// A module global read at call time (NameError when it was deleted).
nb::object global(const char* name);

// The same, keyed by a str object (an interned name saves hashing it again).
nb::object global(nb::handle name);

// The functions the module imported as `json.dumps` and `json.loads`: while the module's
// `json` still holds them, the stream may use its own equivalent instead.
void remember_standard_functions();
nb::handle standard_json_dumps();
nb::handle standard_json_loads();

// Name of the module, used as __module__ of the classes built here.
inline constexpr const char* module_name = "zqkit.transport";

}  // namespace zqkit::transport
