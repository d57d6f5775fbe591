// Interned names of the session's hot paths (event dispatch, order and trade returns).
#pragma once

#include "core/py_ops.hpp"

namespace zqkit::trading::name {

// ---- lifecycle, login and scheduler ----
inline constinit core::InternedName dirty{"dirty"};
inline constinit core::InternedName changed{"changed"};
inline constinit core::InternedName set{"set"};
inline constinit core::InternedName phase{"phase"};
inline constinit core::InternedName ready{"ready"};
inline constinit core::InternedName pending{"pending"};
inline constinit core::InternedName add{"add"};
inline constinit core::InternedName account{"account"};

// ---- dispatch and query completion ----

// ---- orders ----

// ---- trades and frozen volumes ----

}  // namespace zqkit::trading::name
