// Turning the fields dict of a request into C++ values, with the checks a binding to the
// fixed-size CTP request structures would make.
#pragma once

#include <string>

#include <nanobind/nanobind.h>

#include "values.hpp"

namespace zqkit::ctp {

// The request names this counter answers (the CTP request names without "Req").
bool is_known_method(const std::string& method);

// Converts `fields` (a dict of str → str/int/float/bool). Raises TypeError for a wrong shape or
// value type, ValueError for text a CTP field cannot hold, OverflowError for integers out of range.
Fields convert_request_fields(nanobind::handle fields);

}  // namespace zqkit::ctp
