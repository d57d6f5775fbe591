// Interned names of the session's hot paths (event dispatch, order and trade returns).
#pragma once

#include "core/py_ops.hpp"

namespace zqkit::trading::name {

// ---- lifecycle, login and scheduler ----

// ---- dispatch and query completion ----

// ---- orders ----

// ---- trades and frozen volumes ----
// methods and module globals
inline constinit core::InternedName _is_spec_trade{"_is_spec_trade"};
inline constinit core::InternedName _trade_id{"_trade_id"};
inline constinit core::InternedName _trade_key{"_trade_key"};
inline constinit core::InternedName _apply_position_trade{"_apply_position_trade"};
inline constinit core::InternedName _recompute_frozen{"_recompute_frozen"};
inline constinit core::InternedName _free_parts{"_free_parts"};
inline constinit core::InternedName _aggregate{"_aggregate"};
inline constinit core::InternedName _schedule_account{"_schedule_account"};
inline constinit core::InternedName _touch{"_touch"};
inline constinit core::InternedName get{"get"};
inline constinit core::InternedName pop{"pop"};
inline constinit core::InternedName strip{"strip"};
inline constinit core::InternedName update{"update"};
inline constinit core::InternedName items{"items"};
inline constinit core::InternedName values{"values"};
inline constinit core::InternedName time{"time"};
// session attributes
inline constinit core::InternedName t{"t"};
inline constinit core::InternedName p{"p"};
inline constinit core::InternedName o{"o"};
inline constinit core::InternedName day{"day"};
inline constinit core::InternedName system_orders{"system_orders"};
inline constinit core::InternedName pending_trades{"pending_trades"};
inline constinit core::InternedName native_orders{"native_orders"};
inline constinit core::InternedName empty_position{"empty_position"};
inline constinit core::InternedName order_offset{"order_offset"};
inline constinit core::InternedName timestamp{"timestamp"};
// CTP trade row fields
inline constinit core::InternedName TradeID{"TradeID"};
inline constinit core::InternedName ExchangeID{"ExchangeID"};
inline constinit core::InternedName Direction{"Direction"};
inline constinit core::InternedName TradingDay{"TradingDay"};
inline constinit core::InternedName OrderSysID{"OrderSysID"};
inline constinit core::InternedName Volume{"Volume"};
inline constinit core::InternedName InstrumentID{"InstrumentID"};
inline constinit core::InternedName OffsetFlag{"OffsetFlag"};
inline constinit core::InternedName Price{"Price"};
inline constinit core::InternedName TradeDate{"TradeDate"};
inline constinit core::InternedName TradeTime{"TradeTime"};
// native order keys
inline constinit core::InternedName order_id{"order_id"};
inline constinit core::InternedName exchange_order_id{"exchange_order_id"};
inline constinit core::InternedName symbol{"symbol"};
inline constinit core::InternedName direction{"direction"};
inline constinit core::InternedName offset{"offset"};
inline constinit core::InternedName close_type{"close_type"};
inline constinit core::InternedName status{"status"};
inline constinit core::InternedName status_msg{"status_msg"};
inline constinit core::InternedName volume_original{"volume_original"};
inline constinit core::InternedName volume_traded{"volume_traded"};
inline constinit core::InternedName volume_left{"volume_left"};
inline constinit core::InternedName pending_finish{"pending_finish"};
inline constinit core::InternedName expected_traded{"expected_traded"};
inline constinit core::InternedName finish_status{"finish_status"};
inline constinit core::InternedName finish_msg{"finish_msg"};
inline constinit core::InternedName cancel_pending{"cancel_pending"};
inline constinit core::InternedName cancel_error{"cancel_error"};
// trade record keys
inline constinit core::InternedName trade_id{"trade_id"};
inline constinit core::InternedName order_sys_id{"order_sys_id"};
inline constinit core::InternedName price{"price"};
inline constinit core::InternedName volume{"volume"};
inline constinit core::InternedName trade_time{"trade_time"};
// position keys
inline constinit core::InternedName pos{"pos"};
inline constinit core::InternedName pos_long{"pos_long"};
inline constinit core::InternedName pos_short{"pos_short"};
inline constinit core::InternedName pos_long_today{"pos_long_today"};
inline constinit core::InternedName pos_short_today{"pos_short_today"};
inline constinit core::InternedName pos_long_his{"pos_long_his"};
inline constinit core::InternedName pos_short_his{"pos_short_his"};
inline constinit core::InternedName available_long{"available_long"};
inline constinit core::InternedName available_short{"available_short"};
inline constinit core::InternedName frozen_long{"frozen_long"};
inline constinit core::InternedName frozen_short{"frozen_short"};
inline constinit core::InternedName updated_at{"updated_at"};
// values
inline constinit core::InternedName empty{""};
inline constinit core::InternedName dot{"."};
inline constinit core::InternedName flag_open{"0"};
inline constinit core::InternedName flag_close_today{"3"};
inline constinit core::InternedName flag_close_yesterday{"4"};
inline constinit core::InternedName buy{"BUY"};
inline constinit core::InternedName sell{"SELL"};
inline constinit core::InternedName open{"OPEN"};
inline constinit core::InternedName close_today{"TODAY"};
inline constinit core::InternedName close_history{"HISTORY"};
inline constinit core::InternedName filled{"FILLED"};
inline constinit core::InternedName cancelled{"CANCELLED"};
inline constinit core::InternedName rejected{"REJECTED"};
inline constinit core::InternedName fully_traded{"全部成交"};
inline constinit core::InternedName long_side{"long"};
inline constinit core::InternedName short_side{"short"};
inline constinit core::InternedName pos_prefix{"pos_"};
inline constinit core::InternedName his_suffix{"_his"};
inline constinit core::InternedName today_suffix{"_today"};

}  // namespace zqkit::trading::name
