// Interned names: the attributes, globals and keys the module's hot paths look up.
#pragma once

#include "core/py_ops.hpp"

namespace zqkit::data::name {

inline constinit core::InternedName math{"math"};
inline constinit core::InternedName re{"re"};
inline constinit core::InternedName pd{"pd"};
inline constinit core::InternedName nan{"nan"};
inline constinit core::InternedName isnan{"isnan"};
inline constinit core::InternedName isfinite{"isfinite"};
inline constinit core::InternedName fullmatch{"fullmatch"};
inline constinit core::InternedName zq_error{"ZqError"};
inline constinit core::InternedName number{"number"};
inline constinit core::InternedName different{"different"};
inline constinit core::InternedName bar_fields{"BAR_FIELDS"};
inline constinit core::InternedName quote_fields{"QUOTE_FIELDS"};
inline constinit core::InternedName bar_columns{"BAR_COLUMNS"};
inline constinit core::InternedName status{"status"};
inline constinit core::InternedName get{"get"};
inline constinit core::InternedName keys{"keys"};
inline constinit core::InternedName timestamp{"timestamp"};
inline constinit core::InternedName trading_day{"trading_day"};
inline constinit core::InternedName bids{"bids"};
inline constinit core::InternedName asks{"asks"};
inline constinit core::InternedName s{"s"};
inline constinit core::InternedName t{"t"};
inline constinit core::InternedName d{"d"};
inline constinit core::InternedName b{"b"};
inline constinit core::InternedName a{"a"};
inline constinit core::InternedName symbol{"symbol"};
inline constinit core::InternedName period{"period"};
inline constinit core::InternedName length{"length"};
inline constinit core::InternedName bars{"bars"};
inline constinit core::InternedName initial_generation{"initial_generation"};
inline constinit core::InternedName initial_sequence{"initial_sequence"};
inline constinit core::InternedName frame{"frame"};
inline constinit core::InternedName dataclass_fields{"__dataclass_fields__"};
inline constinit core::InternedName dict{"__dict__"};
inline constinit core::InternedName init{"__init__"};
inline constinit core::InternedName add_note{"add_note"};
inline constinit core::InternedName at{"at"};
inline constinit core::InternedName iat{"iat"};
inline constinit core::InternedName columns{"columns"};
inline constinit core::InternedName index{"index"};
inline constinit core::InternedName is_unique{"is_unique"};
inline constinit core::InternedName equals{"equals"};
inline constinit core::InternedName range_index{"RangeIndex"};
inline constinit core::InternedName get_loc{"get_loc"};
inline constinit core::InternedName data_frame{"DataFrame"};
inline constinit core::InternedName series{"Series"};
inline constinit core::InternedName attrs{"attrs"};
inline constinit core::InternedName update{"update"};
inline constinit core::InternedName dtype{"dtype"};
inline constinit core::InternedName int64{"int64"};
inline constinit core::InternedName float64{"float64"};

}  // namespace zqkit::data::name
