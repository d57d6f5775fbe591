// A JSON reader for stream frames that builds the same Python objects as `json.loads`.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>

namespace zqkit::transport {

namespace nb = nanobind;

// `json.loads(text)` for an exact str: the value, or nothing when `json.loads` would raise
// ValueError (malformed JSON, an integer beyond the interpreter's digit limit). Other errors
// (RecursionError for absurd nesting, MemoryError) are raised as `json.loads` raises them.
// Text that cannot be read as UTF-8 (lone surrogates) and deeply nested documents are handed
// to `json.loads` itself.
std::optional<nb::object> read_json(nb::handle text);

}  // namespace zqkit::transport
