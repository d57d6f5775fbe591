// Interned names of the session's hot paths (event dispatch, order and trade returns).
#pragma once

#include "core/py_ops.hpp"

namespace zqkit::trading::name {

// ---- lifecycle, login and scheduler ----

// ---- dispatch and query completion ----

// ---- orders ----

// ---- trades and frozen volumes ----

}  // namespace zqkit::trading::name
