// Interned names of the session's hot paths (event dispatch, order and trade returns).
#pragma once

#include "core/py_ops.hpp"

namespace zqkit::trading::name {

// ---- lifecycle, login and scheduler ----

// ---- dispatch and query completion ----

// ---- orders ----

// The order book's names live in their own namespace: other groups use some of the same texts.
namespace order_book {
// attributes and methods of the session
inline constinit core::InternedName front{"front"};
inline constinit core::InternedName session{"session"};
inline constinit core::InternedName day{"day"};
inline constinit core::InternedName o{"o"};
inline constinit core::InternedName native_orders{"native_orders"};
inline constinit core::InternedName ref_orders{"ref_orders"};
inline constinit core::InternedName system_orders{"system_orders"};
inline constinit core::InternedName order_revisions{"order_revisions"};
inline constinit core::InternedName revision{"revision"};
inline constinit core::InternedName position_ready{"position_ready"};
inline constinit core::InternedName pending_trades{"pending_trades"};
inline constinit core::InternedName child{"_child"};
inline constinit core::InternedName recompute_frozen{"_recompute_frozen"};
inline constinit core::InternedName aggregate{"_aggregate"};
inline constinit core::InternedName schedule_account{"_schedule_account"};
inline constinit core::InternedName touch{"_touch"};
inline constinit core::InternedName trade{"_trade"};
inline constinit core::InternedName update_position{"update_position"};
inline constinit core::InternedName symbol_keyword{"symbol"};
// module globals
inline constinit core::InternedName local_order_id{"local_order_id"};
inline constinit core::InternedName order_offset{"order_offset"};
inline constinit core::InternedName finite{"finite"};
inline constinit core::InternedName timestamp{"timestamp"};
// methods of rows and records that are not exact dicts or str
inline constinit core::InternedName get{"get"};
inline constinit core::InternedName strip{"strip"};
inline constinit core::InternedName update{"update"};
inline constinit core::InternedName values{"values"};
// CTP fields of order and trade rows
inline constinit core::InternedName FrontID{"FrontID"};
inline constinit core::InternedName SessionID{"SessionID"};
inline constinit core::InternedName OrderRef{"OrderRef"};
inline constinit core::InternedName OrderSysID{"OrderSysID"};
inline constinit core::InternedName ExchangeID{"ExchangeID"};
inline constinit core::InternedName InstrumentID{"InstrumentID"};
inline constinit core::InternedName Direction{"Direction"};
inline constinit core::InternedName CombOffsetFlag{"CombOffsetFlag"};
inline constinit core::InternedName OffsetFlag{"OffsetFlag"};
inline constinit core::InternedName CombHedgeFlag{"CombHedgeFlag"};
inline constinit core::InternedName HedgeFlag{"HedgeFlag"};
inline constinit core::InternedName LimitPrice{"LimitPrice"};
inline constinit core::InternedName VolumeTotalOriginal{"VolumeTotalOriginal"};
inline constinit core::InternedName VolumeTraded{"VolumeTraded"};
inline constinit core::InternedName OrderStatus{"OrderStatus"};
inline constinit core::InternedName OrderSubmitStatus{"OrderSubmitStatus"};
inline constinit core::InternedName InsertDate{"InsertDate"};
inline constinit core::InternedName InsertTime{"InsertTime"};
inline constinit core::InternedName TradingDay{"TradingDay"};
// keys of order and native order records
inline constinit core::InternedName order_id{"order_id"};
inline constinit core::InternedName order_sys_id{"order_sys_id"};
inline constinit core::InternedName symbol{"symbol"};
inline constinit core::InternedName direction{"direction"};
inline constinit core::InternedName offset{"offset"};
inline constinit core::InternedName limit_price{"limit_price"};
inline constinit core::InternedName volume_original{"volume_original"};
inline constinit core::InternedName volume_traded{"volume_traded"};
inline constinit core::InternedName volume_left{"volume_left"};
inline constinit core::InternedName status{"status"};
inline constinit core::InternedName status_msg{"status_msg"};
inline constinit core::InternedName cancel_pending{"cancel_pending"};
inline constinit core::InternedName cancel_error{"cancel_error"};
inline constinit core::InternedName insert_time{"insert_time"};
inline constinit core::InternedName parent{"parent"};
inline constinit core::InternedName exchange_order_id{"exchange_order_id"};
inline constinit core::InternedName close_type{"close_type"};
inline constinit core::InternedName is_confirmed{"is_confirmed"};
inline constinit core::InternedName ref{"ref"};
inline constinit core::InternedName cancel_request_id{"cancel_request_id"};
inline constinit core::InternedName pending_finish{"pending_finish"};
inline constinit core::InternedName expected_traded{"expected_traded"};
inline constinit core::InternedName finish_status{"finish_status"};
inline constinit core::InternedName finish_msg{"finish_msg"};
// texts compared with or stored
inline constinit core::InternedName empty{""};
inline constinit core::InternedName dot{"."};
inline constinit core::InternedName flag_buy{"0"};
inline constinit core::InternedName flag_open{"0"};
inline constinit core::InternedName flag_close_today{"3"};
inline constinit core::InternedName flag_close_yesterday{"4"};
inline constinit core::InternedName flag_speculation{"1"};
inline constinit core::InternedName status_all_traded{"0"};
inline constinit core::InternedName status_part_traded_not_queueing{"2"};
inline constinit core::InternedName status_no_trade_not_queueing{"4"};
inline constinit core::InternedName status_canceled{"5"};
inline constinit core::InternedName submit_insert_rejected{"4"};
inline constinit core::InternedName submit_cancel_rejected{"5"};
inline constinit core::InternedName buy{"BUY"};
inline constinit core::InternedName sell{"SELL"};
inline constinit core::InternedName pending{"PENDING"};
inline constinit core::InternedName alive{"ALIVE"};
inline constinit core::InternedName filled{"FILLED"};
inline constinit core::InternedName cancelled{"CANCELLED"};
inline constinit core::InternedName rejected{"REJECTED"};
inline constinit core::InternedName unspecified{"UNSPECIFIED"};
inline constinit core::InternedName today{"TODAY"};
inline constinit core::InternedName history{"HISTORY"};
inline constinit core::InternedName text_filled{"全部成交"};
inline constinit core::InternedName text_cancelled{"剩余委托已不再排队"};
inline constinit core::InternedName text_rejected{"报单被拒绝"};
inline constinit core::InternedName text_cancel_rejected{"撤单被拒绝"};
}  // namespace order_book

// ---- trades and frozen volumes ----

}  // namespace zqkit::trading::name
