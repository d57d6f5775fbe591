// Interned names for the push path: attribute and global lookups that run for every frame.
#pragma once

#include "core/py_ops.hpp"

namespace zqkit::transport::name {

inline constinit core::InternedName channels{"channels"};
inline constinit core::InternedName sent{"_sent"};
inline constinit core::InternedName acked{"acked"};
inline constinit core::InternedName ack_changed{"ack_changed"};
inline constinit core::InternedName report_ready{"_report_ready"};
inline constinit core::InternedName sequence{"sequence"};
inline constinit core::InternedName incoming{"incoming"};
inline constinit core::InternedName generation{"generation"};
inline constinit core::InternedName pending_limit{"_pending_limit"};
inline constinit core::InternedName ready{"ready"};
inline constinit core::InternedName changed{"changed"};
inline constinit core::InternedName set{"set"};
inline constinit core::InternedName type{"type"};
inline constinit core::InternedName data{"data"};
inline constinit core::InternedName loads{"loads"};
inline constinit core::InternedName json{"json"};
inline constinit core::InternedName aiohttp{"aiohttp"};
inline constinit core::InternedName decode{"decode"};
inline constinit core::InternedName ws_message_type{"WSMsgType"};
inline constinit core::InternedName text{"TEXT"};
inline constinit core::InternedName error{"ERROR"};
inline constinit core::InternedName key_c{"c"};
inline constinit core::InternedName key_d{"d"};
inline constinit core::InternedName key_op{"op"};
inline constinit core::InternedName key_ok{"ok"};

// The pending market buffer.
inline constinit core::InternedName snapshots{"snapshots"};
inline constinit core::InternedName live{"live"};
inline constinit core::InternedName timestamp{"timestamp"};
inline constinit core::InternedName move_to_end{"move_to_end"};
inline constinit core::InternedName popitem{"popitem"};
inline constinit core::InternedName popleft{"popleft"};
inline constinit core::InternedName appendleft{"appendleft"};
inline constinit core::InternedName clear{"clear"};
inline constinit core::InternedName values{"values"};

}  // namespace zqkit::transport::name
