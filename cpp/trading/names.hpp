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
// the session's own methods
inline constinit core::InternedName _aggregate{"_aggregate"};
inline constinit core::InternedName _by_ref{"_by_ref"};
inline constinit core::InternedName _clear_cache{"_clear_cache"};
inline constinit core::InternedName _complete{"_complete"};
inline constinit core::InternedName _complete_account{"_complete_account"};
inline constinit core::InternedName _is_spec_order{"_is_spec_order"};
inline constinit core::InternedName _is_spec_trade{"_is_spec_trade"};
inline constinit core::InternedName _order{"_order"};
inline constinit core::InternedName _phase_request{"_phase_request"};
inline constinit core::InternedName _positions{"_positions"};
inline constinit core::InternedName _query_error{"_query_error"};
inline constinit core::InternedName _recompute_frozen{"_recompute_frozen"};
inline constinit core::InternedName _schedule_account{"_schedule_account"};
inline constinit core::InternedName _status{"_status"};
inline constinit core::InternedName _touch{"_touch"};
inline constinit core::InternedName _trade{"_trade"};
inline constinit core::InternedName _trade_key{"_trade_key"};
// event names and CTP fields
inline constinit core::InternedName account_id_field{"AccountID"};
inline constinit core::InternedName app_id_field{"AppID"};
inline constinit core::InternedName auth_code_field{"AuthCode"};
inline constinit core::InternedName authenticate_request{"Authenticate"};
inline constinit core::InternedName currency_id_field{"CurrencyID"};
inline constinit core::InternedName err_rtn_order_action{"ErrRtnOrderAction"};
inline constinit core::InternedName err_rtn_order_insert{"ErrRtnOrderInsert"};
inline constinit core::InternedName error_id_field{"ErrorID"};
inline constinit core::InternedName error_msg_field{"ErrorMsg"};
inline constinit core::InternedName exchange_id_field{"ExchangeID"};
inline constinit core::InternedName front_connected{"FrontConnected"};
inline constinit core::InternedName front_disconnected{"FrontDisconnected"};
inline constinit core::InternedName front_id_field{"FrontID"};
inline constinit core::InternedName hedge_flag_field{"HedgeFlag"};
inline constinit core::InternedName instrument_id_field{"InstrumentID"};
inline constinit core::InternedName max_order_ref_field{"MaxOrderRef"};
inline constinit core::InternedName order_ref_field{"OrderRef"};
inline constinit core::InternedName order_sys_id_field{"OrderSysID"};
inline constinit core::InternedName order_sys_id{"order_sys_id"};
inline constinit core::InternedName password_field{"Password"};
inline constinit core::InternedName posi_direction_field{"PosiDirection"};
inline constinit core::InternedName position_date_field{"PositionDate"};
inline constinit core::InternedName position_field{"Position"};
inline constinit core::InternedName product_class_field{"ProductClass"};
inline constinit core::InternedName rsp_authenticate{"RspAuthenticate"};
inline constinit core::InternedName rsp_error{"RspError"};
inline constinit core::InternedName rsp_order_action{"RspOrderAction"};
inline constinit core::InternedName rsp_order_insert{"RspOrderInsert"};
inline constinit core::InternedName rsp_qry{"RspQry"};
inline constinit core::InternedName rsp_settlement_info_confirm{"RspSettlementInfoConfirm"};
inline constinit core::InternedName rsp_user_login{"RspUserLogin"};
inline constinit core::InternedName rtn_order{"RtnOrder"};
inline constinit core::InternedName rtn_trade{"RtnTrade"};
inline constinit core::InternedName session_id_field{"SessionID"};
inline constinit core::InternedName settlement_request{"SettlementInfoConfirm"};
inline constinit core::InternedName today_position_field{"TodayPosition"};
inline constinit core::InternedName trading_day_field{"TradingDay"};
inline constinit core::InternedName user_login_request{"UserLogin"};
// attributes, keys, globals, methods of builtins and constant texts
inline constinit core::InternedName a{"a"};
inline constinit core::InternedName account_fields{"ACCOUNT_FIELDS"};
inline constinit core::InternedName app_id{"app_id"};
inline constinit core::InternedName append{"append"};
inline constinit core::InternedName auth_code{"auth_code"};
inline constinit core::InternedName authenticate{"authenticate"};
inline constinit core::InternedName cancel_error{"cancel_error"};
inline constinit core::InternedName cancel_pending{"cancel_pending"};
inline constinit core::InternedName cancel_request_id{"cancel_request_id"};
inline constinit core::InternedName clear{"clear"};
inline constinit core::InternedName cny{"CNY"};
inline constinit core::InternedName config{"config"};
inline constinit core::InternedName connecting{"connecting"};
inline constinit core::InternedName data{"data"};
inline constinit core::InternedName day{"day"};
inline constinit core::InternedName dot{"."};
inline constinit core::InternedName empty{""};
inline constinit core::InternedName empty_position{"empty_position"};
inline constinit core::InternedName error{"error"};
inline constinit core::InternedName event{"event"};
inline constinit core::InternedName event_name{"name"};
inline constinit core::InternedName expected_traded{"expected_traded"};
inline constinit core::InternedName fail{"fail"};
inline constinit core::InternedName finite{"finite"};
inline constinit core::InternedName front{"front"};
inline constinit core::InternedName get{"get"};
inline constinit core::InternedName id{"id"};
inline constinit core::InternedName index{"index"};
inline constinit core::InternedName ine{"INE"};
inline constinit core::InternedName inflight{"inflight"};
inline constinit core::InternedName instruments{"instruments"};
inline constinit core::InternedName is_confirmed{"is_confirmed"};
inline constinit core::InternedName items{"items"};
inline constinit core::InternedName kind{"kind"};
inline constinit core::InternedName last{"last"};
inline constinit core::InternedName last_account_refresh{"last_account_refresh"};
inline constinit core::InternedName live_trade_buffer{"live_trade_buffer"};
inline constinit core::InternedName login{"login"};
inline constinit core::InternedName monotonic{"monotonic"};
inline constinit core::InternedName native_orders{"native_orders"};
inline constinit core::InternedName order_ref{"order_ref"};
inline constinit core::InternedName orders{"orders"};
inline constinit core::InternedName p{"p"};
inline constinit core::InternedName password{"password"};
inline constinit core::InternedName pending_finish{"pending_finish"};
inline constinit core::InternedName pending_trades{"pending_trades"};
inline constinit core::InternedName phase_data{"phase_data"};
inline constinit core::InternedName phase_id{"phase_id"};
inline constinit core::InternedName phase_labels{"PHASE_LABELS"};
inline constinit core::InternedName phase_time{"phase_time"};
inline constinit core::InternedName pos{"pos"};
inline constinit core::InternedName pos_long{"pos_long"};
inline constinit core::InternedName pos_long_his{"pos_long_his"};
inline constinit core::InternedName pos_long_today{"pos_long_today"};
inline constinit core::InternedName pos_short{"pos_short"};
inline constinit core::InternedName pos_short_his{"pos_short_his"};
inline constinit core::InternedName pos_short_today{"pos_short_today"};
inline constinit core::InternedName position_candidate{"position_candidate"};
inline constinit core::InternedName position_ready{"position_ready"};
inline constinit core::InternedName positions{"positions"};
inline constinit core::InternedName progress{"progress"};
inline constinit core::InternedName published_position_time{"published_position_time"};
inline constinit core::InternedName query_recovery{"query_recovery"};
inline constinit core::InternedName query_revision{"query_revision"};
inline constinit core::InternedName recovery{"recovery"};
inline constinit core::InternedName ref_orders{"ref_orders"};
inline constinit core::InternedName request_id{"request_id"};
inline constinit core::InternedName revision{"revision"};
inline constinit core::InternedName rows{"rows"};
inline constinit core::InternedName session{"session"};
inline constinit core::InternedName settlement{"settlement"};
inline constinit core::InternedName shfe{"SHFE"};
inline constinit core::InternedName startswith{"startswith"};
inline constinit core::InternedName status{"status"};
inline constinit core::InternedName status_disconnected{"DISCONNECTED"};
inline constinit core::InternedName status_msg{"status_msg"};
inline constinit core::InternedName status_ready{"READY"};
inline constinit core::InternedName rejected{"REJECTED"};
inline constinit core::InternedName status_syncing{"SYNCING"};
inline constinit core::InternedName strip{"strip"};
inline constinit core::InternedName success{"success"};
inline constinit core::InternedName symbol{"symbol"};
inline constinit core::InternedName sync{"sync"};
inline constinit core::InternedName sync_index{"sync_index"};
inline constinit core::InternedName sync_steps{"SYNC_STEPS"};
inline constinit core::InternedName system_orders{"system_orders"};
inline constinit core::InternedName text_0{"0"};
inline constinit core::InternedName text_1{"1"};
inline constinit core::InternedName text_2{"2"};
inline constinit core::InternedName text_3{"3"};
inline constinit core::InternedName time{"time"};
inline constinit core::InternedName trade_before{"trade_before"};
inline constinit core::InternedName trades_after{"trades_after"};
inline constinit core::InternedName trades_before{"trades_before"};
inline constinit core::InternedName trading_day{"trading_day"};
inline constinit core::InternedName update{"update"};
inline constinit core::InternedName update_position{"update_position"};
inline constinit core::InternedName updated_at{"updated_at"};
inline constinit core::InternedName user_id{"user_id"};
inline constinit core::InternedName values{"values"};
inline constinit core::InternedName volume_traded{"volume_traded"};
inline constinit core::InternedName zq_error{"ZqError"};

// ---- orders ----

// attributes and methods of the session
inline constinit core::InternedName o{"o"};
inline constinit core::InternedName order_revisions{"order_revisions"};
inline constinit core::InternedName child{"_child"};
// module globals
inline constinit core::InternedName local_order_id{"local_order_id"};
inline constinit core::InternedName order_offset{"order_offset"};
inline constinit core::InternedName timestamp{"timestamp"};
// CTP fields of order and trade rows
inline constinit core::InternedName direction_field{"Direction"};
inline constinit core::InternedName comb_offset_flag_field{"CombOffsetFlag"};
inline constinit core::InternedName offset_flag_field{"OffsetFlag"};
inline constinit core::InternedName comb_hedge_flag_field{"CombHedgeFlag"};
inline constinit core::InternedName limit_price_field{"LimitPrice"};
inline constinit core::InternedName volume_total_original_field{"VolumeTotalOriginal"};
inline constinit core::InternedName volume_traded_field{"VolumeTraded"};
inline constinit core::InternedName order_status_field{"OrderStatus"};
inline constinit core::InternedName order_submit_status_field{"OrderSubmitStatus"};
inline constinit core::InternedName insert_date_field{"InsertDate"};
inline constinit core::InternedName insert_time_field{"InsertTime"};
// keys of order and native order records
inline constinit core::InternedName order_id{"order_id"};
inline constinit core::InternedName direction{"direction"};
inline constinit core::InternedName offset{"offset"};
inline constinit core::InternedName limit_price{"limit_price"};
inline constinit core::InternedName volume_original{"volume_original"};
inline constinit core::InternedName volume_left{"volume_left"};
inline constinit core::InternedName insert_time{"insert_time"};
inline constinit core::InternedName parent{"parent"};
inline constinit core::InternedName exchange_order_id{"exchange_order_id"};
inline constinit core::InternedName close_type{"close_type"};
inline constinit core::InternedName ref{"ref"};
inline constinit core::InternedName finish_status{"finish_status"};
inline constinit core::InternedName finish_msg{"finish_msg"};
// texts compared with or stored
inline constinit core::InternedName text_4{"4"};
inline constinit core::InternedName text_5{"5"};
inline constinit core::InternedName buy{"BUY"};
inline constinit core::InternedName sell{"SELL"};
inline constinit core::InternedName status_pending{"PENDING"};
inline constinit core::InternedName alive{"ALIVE"};
inline constinit core::InternedName filled{"FILLED"};
inline constinit core::InternedName cancelled{"CANCELLED"};
inline constinit core::InternedName unspecified{"UNSPECIFIED"};
inline constinit core::InternedName close_today{"TODAY"};
inline constinit core::InternedName close_history{"HISTORY"};
inline constinit core::InternedName fully_traded{"全部成交"};
inline constinit core::InternedName text_cancelled{"剩余委托已不再排队"};
inline constinit core::InternedName text_rejected{"报单被拒绝"};
inline constinit core::InternedName text_cancel_rejected{"撤单被拒绝"};

// ---- trades and frozen volumes ----
// methods and module globals
inline constinit core::InternedName _trade_id{"_trade_id"};
inline constinit core::InternedName _apply_position_trade{"_apply_position_trade"};
inline constinit core::InternedName _free_parts{"_free_parts"};
inline constinit core::InternedName pop{"pop"};
// session attributes
inline constinit core::InternedName t{"t"};
// CTP trade row fields
inline constinit core::InternedName trade_id_field{"TradeID"};
inline constinit core::InternedName volume_field{"Volume"};
inline constinit core::InternedName price_field{"Price"};
inline constinit core::InternedName trade_date_field{"TradeDate"};
inline constinit core::InternedName trade_time_field{"TradeTime"};
// trade record keys
inline constinit core::InternedName trade_id{"trade_id"};
inline constinit core::InternedName price{"price"};
inline constinit core::InternedName volume{"volume"};
inline constinit core::InternedName trade_time{"trade_time"};
// position keys
inline constinit core::InternedName available_long{"available_long"};
inline constinit core::InternedName available_short{"available_short"};
inline constinit core::InternedName frozen_long{"frozen_long"};
inline constinit core::InternedName frozen_short{"frozen_short"};
// values
inline constinit core::InternedName open{"OPEN"};
inline constinit core::InternedName long_side{"long"};
inline constinit core::InternedName short_side{"short"};
inline constinit core::InternedName pos_prefix{"pos_"};
inline constinit core::InternedName his_suffix{"_his"};
inline constinit core::InternedName today_suffix{"_today"};

// ---- order entry: insert and cancel ----
// methods, attributes and module globals
inline constinit core::InternedName _insert{"_insert"};
inline constinit core::InternedName _request{"_request"};
inline constinit core::InternedName _values{"_values"};
inline constinit core::InternedName session_status{"session_status"};
inline constinit core::InternedName reset_pending{"reset_pending"};
inline constinit core::InternedName check_symbol{"check_symbol"};
inline constinit core::InternedName flag_by_offset{"FLAG_BY_OFFSET"};
inline constinit core::InternedName trading_result{"TradingResult"};
inline constinit core::InternedName math{"math"};
inline constinit core::InternedName isclose{"isclose"};
inline constinit core::InternedName isfinite{"isfinite"};
inline constinit core::InternedName rel_tol{"rel_tol"};
inline constinit core::InternedName abs_tol{"abs_tol"};
inline constinit core::InternedName split{"split"};
inline constinit core::InternedName dunder_init{"__init__"};
inline constinit core::InternedName message{"message"};
inline constinit core::InternedName native{"native"};
inline constinit core::InternedName request{"request"};
inline constinit core::InternedName broker_id{"broker_id"};
inline constinit core::InternedName broker_id_field{"BrokerID"};
inline constinit core::InternedName investor_id_field{"InvestorID"};
inline constinit core::InternedName user_id_field{"UserID"};
// instrument fields
inline constinit core::InternedName is_trading_field{"IsTrading"};
inline constinit core::InternedName price_tick_field{"PriceTick"};
inline constinit core::InternedName min_limit_order_volume_field{"MinLimitOrderVolume"};
inline constinit core::InternedName max_limit_order_volume_field{"MaxLimitOrderVolume"};
// requests and their fields
inline constinit core::InternedName order_insert_request{"OrderInsert"};
inline constinit core::InternedName order_action_request{"OrderAction"};
inline constinit core::InternedName order_price_type_field{"OrderPriceType"};
inline constinit core::InternedName time_condition_field{"TimeCondition"};
inline constinit core::InternedName volume_condition_field{"VolumeCondition"};
inline constinit core::InternedName min_volume_field{"MinVolume"};
inline constinit core::InternedName contingent_condition_field{"ContingentCondition"};
inline constinit core::InternedName force_close_reason_field{"ForceCloseReason"};
inline constinit core::InternedName is_auto_suspend_field{"IsAutoSuspend"};
inline constinit core::InternedName user_force_close_field{"UserForceClose"};
inline constinit core::InternedName action_flag_field{"ActionFlag"};
// offsets and result statuses
inline constinit core::InternedName close_offset{"CLOSE"};
inline constinit core::InternedName close_today_offset{"CLOSE_TODAY"};
inline constinit core::InternedName close_yesterday_offset{"CLOSE_YESTERDAY"};
inline constinit core::InternedName submitted{"SUBMITTED"};
inline constinit core::InternedName unknown{"UNKNOWN"};
// result messages
inline constinit core::InternedName text_insert_not_ready{"交易账户未就绪，报单未提交"};
inline constinit core::InternedName text_insert_invalid{"报单参数无效或可平持仓不足，未提交"};
inline constinit core::InternedName text_not_sent{"未发送：前一笔委托提交失败"};
inline constinit core::InternedName text_insert_refused{"报单未提交"};
inline constinit core::InternedName text_insert_bad_request{"报单参数无效，未提交"};
inline constinit core::InternedName text_insert_unknown{"报单提交结果不明，等待柜台回报"};
inline constinit core::InternedName text_cancel_not_ready{"交易账户未就绪，撤单未提交"};
inline constinit core::InternedName text_unconfirmed{"订单尚未确认，撤单未提交"};
inline constinit core::InternedName text_cancel_bad_request{"撤单参数无效，未提交"};
inline constinit core::InternedName text_cancel_unknown{"撤单提交结果不明，等待柜台回报"};
inline constinit core::InternedName text_cancel_refused{"撤单未提交"};

}  // namespace zqkit::trading::name
