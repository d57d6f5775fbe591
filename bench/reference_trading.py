"""Straightforward pure-Python version of the CTP trading session of zqkit.trading.

It is the behaviour the extension module's `Trading` follows (login and synchronisation phases,
event dispatch, the order and trade book, the login-time position baseline), written plainly so
that the shared tests in tests/trading run against both and the benchmark has a fair baseline.
Like the extension module it reads its module globals (`time`, `asyncio`, `mkdtemp`, `timestamp`,
`finite`, `Native` ...) at call time, so tests patch them here the same way.
"""

from __future__ import annotations

import asyncio
import math
import os  # noqa: F401  (bound like the extension module's globals)
import time
from datetime import datetime, timedelta, timezone  # noqa: F401
from tempfile import mkdtemp

from zqkit.data import ZqError, check_symbol, different  # noqa: F401
from zqkit.errors import Recovery
from zqkit.livebook import (  # noqa: F401
    Account,
    LiveMap,
    Order,
    Position,
    Trade,
    TradingResult,
    empty_position,
)
from zqkit.trading import TZ, Native, finite, timestamp  # noqa: F401

QUERY = {
    "instruments": "QryInstrument",
    "orders": "QryOrder",
    "trades_before": "QryTrade",
    "positions": "QryInvestorPosition",
    "trades_after": "QryTrade",
    "account": "QryTradingAccount",
}
SYNC_STEPS = tuple(QUERY)
PHASE_LABELS = {"authenticate": "认证", "login": "登录", "settlement": "结算单确认"}
QUERY_LABELS = {
    "instruments": "合约",
    "orders": "订单",
    "trades_before": "首次成交",
    "positions": "持仓",
    "trades_after": "复查成交",
    "account": "资金",
}
ACCOUNT_FIELDS = {
    "balance": "Balance",
    "available": "Available",
    "margin": "CurrMargin",
    "frozen_margin": "FrozenMargin",
    "commission": "Commission",
    "frozen_commission": "FrozenCommission",
    "close_profit": "CloseProfit",
    "position_profit": "PositionProfit",
    "deposit": "Deposit",
    "withdraw": "Withdraw",
}
OFFSET_BY_FLAG = {"0": "OPEN", "1": "CLOSE", "3": "CLOSE_TODAY", "4": "CLOSE_YESTERDAY"}
FLAG_BY_OFFSET = {offset: flag for flag, offset in OFFSET_BY_FLAG.items()}
CLOSE_TYPE_BY_FLAG = {"0": None, "3": "TODAY", "4": "HISTORY"}


def local_order_id(front, session, order_ref):
    return str(front) + ":" + str(session) + ":" + str(order_ref)


def order_offset(value):
    text = str(value) if value else ""
    return OFFSET_BY_FLAG.get(text[:1], "CLOSE")


def plan_parts(self, symbol, direction, offset, volume):
    """The (offset, volume) parts of an insert; closes on SHFE and INE split by day."""
    if offset == "OPEN":
        return [("OPEN", volume)]
    his, today = self._free_parts(symbol, "long" if direction == "SELL" else "short")
    if volume > his + today:
        raise ValueError("本地参考可平持仓数量不足")
    if symbol.split(".", 1)[0] not in ("SHFE", "INE"):
        return [("CLOSE", volume)]
    first = min(his, volume)
    plan = [("CLOSE_YESTERDAY", first)] if first else []
    if volume > first:
        plan.append(("CLOSE_TODAY", volume - first))
    return plan


def new_order(self, symbol, direction, part, limit_price):
    """Book one native order and its user order before anything is sent."""
    offset, volume = part
    self.order_ref += 1
    ref = str(self.order_ref)
    order_id = local_order_id(self.front, self.session, ref)
    flag = FLAG_BY_OFFSET[offset]
    self.o[order_id] = {
        "order_id": order_id,
        "order_sys_id": None,
        "symbol": symbol,
        "direction": direction,
        "offset": offset,
        "limit_price": limit_price,
        "volume_original": volume,
        "volume_traded": 0,
        "volume_left": volume,
        "status": "PENDING",
        "status_msg": "",
        "cancel_pending": False,
        "cancel_error": None,
        "insert_time": int(time.time() * 1000),
    }
    child = {
        "order_id": order_id,
        "parent": order_id,
        "symbol": symbol,
        "direction": direction,
        "offset": offset,
        "exchange_order_id": "",
        "close_type": CLOSE_TYPE_BY_FLAG.get(flag, "UNSPECIFIED"),
        "volume_original": volume,
        "volume_left": volume,
        "volume_traded": 0,
        "status": "PENDING",
        "is_confirmed": False,
        "status_msg": "",
        "cancel_pending": False,
        "cancel_error": None,
        "ref": ref,
        "front": self.front,
        "session": self.session,
        "cancel_request_id": None,
        "pending_finish": False,
        "expected_traded": 0,
        "finish_status": None,
        "finish_msg": "",
    }
    self.native_orders[order_id] = child
    self.ref_orders[(self.front, self.session, ref)] = order_id
    return child, flag


class Trading:
    """Private protocol state is committed to user objects only by wait_update."""

    def __init__(self, config, timeout, objects, *, native_factory=Native):
        self.config = config
        self.timeout = timeout
        self.objects = objects
        self.factory = native_factory
        self.account = Account(account_id=config.user_id if config else None)
        self.session_status = "SYNCING" if config else "ERROR"
        self.published_status = self.session_status
        self.positions = LiveMap(Position)
        self.orders = LiveMap(Order)
        self.trades = []
        self.trade_views = {}
        for view in (self.account, self.positions, self.orders, self.trades):
            objects[id(view)] = view
        self.a = dict(self.account._values)
        self.p = {}
        self.o = {}
        self.t = {}
        self.native_orders = {}
        self.instruments = {}
        self.ref_orders = {}
        self.system_orders = {}
        self.pending_trades = {}
        self.live_trade_buffer = {}
        self.trade_before = set()
        self.position_candidate = None
        self.position_ready = False
        self.pending = set()
        self.inflight = None
        self.sync_index = 0
        self.last_query = -math.inf
        self.last_account_refresh = 0.0
        self.request_id = 0
        self.order_ref = 0
        self.order_revisions = {}
        self.revision = 0
        self.front = 0
        self.session = 0
        self.day = ""
        self.phase = "connecting"
        self.phase_id = None
        self.phase_time = time.monotonic()
        self.phase_data = {}
        self.task = None
        self.native = None
        self.error = None
        self.dirty = False
        self.changed = asyncio.Event()
        self.directory = None
        self.reset_pending = False
        self.recovery = Recovery("交易连接")
        self.query_recovery = Recovery("账户查询", 3, 120)
        self.published_position_time = None

    def position_view(self, symbol):
        if symbol is None:
            return self.positions
        check_symbol(symbol)
        if self.instruments and symbol not in self.instruments:
            raise ValueError("合约不存在或不是支持的期货或期权合约")
        if symbol not in self.positions:
            record = empty_position(symbol, self.published_position_time)
            view = Position(**{name: record[name] for name in Position.fields})
            self.positions._data[symbol] = view
            self.objects[id(view)] = view
            self.p.setdefault(symbol, record)
        return self.positions[symbol]

    # ---- lifecycle -------------------------------------------------------------------------

    def start(self):
        if self.config is not None and self.task is None:
            self.task = asyncio.create_task(self.run())

    def _open_native(self):
        if self.directory is None:
            self.directory = mkdtemp(prefix="zqkit-ctp-")
        self.native = self.factory(self.config, self.directory)

    def _close_native(self):
        if self.native is not None:
            self.native.close()
            self.native = None

    def _clear_cache(self, status):
        self.a = dict(Account(account_id=self.config.user_id if self.config else None)._values)
        self.session_status = status
        for table in (
            self.o,
            self.t,
            self.native_orders,
            self.instruments,
            self.ref_orders,
            self.system_orders,
            self.pending_trades,
            self.live_trade_buffer,
            self.order_revisions,
        ):
            table.clear()
        self.p = {symbol: empty_position(symbol) for symbol in self.positions}
        self.trade_before.clear()
        self.position_candidate = None
        self.position_ready = False
        self.pending.clear()
        self.inflight = None
        self.sync_index = 0
        self.last_account_refresh = 0.0
        self.revision = 0
        self.front = self.session = 0
        self.phase_id = None
        self.phase_data.clear()
        self.published_position_time = None
        self.reset_pending = True
        self._touch()

    def _touch(self):
        self.dirty = True
        self.changed.set()

    def _status(self, value):
        self.session_status = value
        self._touch()

    # ---- requests and login ----------------------------------------------------------------

    def _request(self, method, fields=None):
        self.request_id += 1
        data = {
            "BrokerID": self.config.broker_id,
            "InvestorID": self.config.user_id,
            "UserID": self.config.user_id,
        }
        data.update(fields or {})
        return self.request_id, self.native.request(method, data, self.request_id)

    def _phase_request(self, phase, method, data=None):
        self.phase = phase
        self.phase_time = time.monotonic()
        self.phase_data = {}
        self.phase_id, code = self._request(method, data)
        if code in (-1, -2, -3):
            raise TimeoutError()
        if code != 0:
            label = PHASE_LABELS.get(phase, phase)
            raise ZqError("CTP " + label + "请求失败（错误码：" + str(code) + "）")

    def _schedule_account(self):
        if self.phase == "ready":
            self.pending.add("account")

    # ---- main loop -------------------------------------------------------------------------

    async def run(self):
        self.recovery.begin()
        try:
            while True:
                try:
                    if self.native is None:
                        self._open_native()
                    if self.session_status != "READY":
                        self.recovery.check()
                    for item in self.native.poll():
                        self.event(item)
                    self.tick(time.monotonic())
                except (TimeoutError, BufferError, ConnectionError, OSError):
                    self.recovery.fail()
                    self._clear_cache("SYNCING")
                    self.phase = "connecting"
                    self.phase_time = time.monotonic()
                    self._close_native()
                    await asyncio.sleep(1)
                await asyncio.sleep(0.01)
        except asyncio.CancelledError:
            raise
        except Exception as exc:
            self.error = ZqError("交易连接不可用，请检查账户配置或稍后重新连接。")
            # Keep what ended the session: a wrong password and a dead front must be told apart.
            self.error.__cause__ = exc
            self._clear_cache("ERROR")
            return None

    # ---- event dispatch --------------------------------------------------------------------

    def event(self, event):
        name = event["name"]
        data = event.get("data") or {}
        rid = event.get("request_id", 0)
        last = event.get("last", True)
        error = event.get("error") or {}
        code = error.get("ErrorID", 0)
        message = error.get("ErrorMsg", "")

        if name == "FrontConnected":
            self._clear_cache("SYNCING")
            self._phase_request(
                "authenticate",
                "Authenticate",
                {"AppID": self.config.app_id, "AuthCode": self.config.auth_code},
            )
        elif name == "FrontDisconnected":
            self.phase = "connecting"
            self.phase_time = time.monotonic()
            self._clear_cache("DISCONNECTED")
            self.recovery.fail()
        elif name in ("RspAuthenticate", "RspUserLogin", "RspSettlementInfoConfirm"):
            if rid != self.phase_id:
                return None
            if code:
                if code in (90, 154):
                    raise TimeoutError()
                label = PHASE_LABELS.get(self.phase, self.phase)
                raise ZqError("CTP " + label + "失败（错误码：" + str(code) + "）：" + message)
            self.phase_data.update(data)
            if not last:
                return None
            answer = self.phase_data
            if name == "RspAuthenticate":
                self._phase_request("login", "UserLogin", {"Password": self.config.password})
            elif name == "RspUserLogin":
                self.day = answer["TradingDay"]
                self.a["trading_day"] = self.day
                self.front = answer["FrontID"]
                self.session = answer["SessionID"]
                self.order_ref = int(answer.get("MaxOrderRef", "0").strip() or 0)
                self._phase_request("settlement", "SettlementInfoConfirm")
                self._touch()
            else:
                self.phase = "sync"
                self.phase_time = time.monotonic()
                self.sync_index = 0
        elif name == "RspError":
            for order in self.native_orders.values():
                if rid and order.get("request_id") == rid:
                    self.event({"name": "RspOrderInsert", "request_id": rid, "error": error})
                    return None
                if rid and order.get("cancel_request_id") == rid:
                    self.event({"name": "RspOrderAction", "request_id": rid, "error": error})
                    return None
            if self.inflight and self.inflight["id"] == rid:
                self._query_error(code, message)
                return None
            if rid == self.phase_id and code:
                raise ZqError("CTP 会话错误（错误码：" + str(code) + "）：" + message)
            if code:
                raise TimeoutError("收到无法归属请求的 CTP 错误（错误码：" + str(code) + "）")
        elif name.startswith("RspQry"):
            query = self.inflight
            if not query or rid != query["id"]:
                return None
            query["progress"] = time.monotonic()
            if code:
                self._query_error(code, message)
                return None
            if data:
                query["rows"].append(data)
            if not last:
                return None
            self.inflight = None
            self._complete(query)
        elif name == "RtnOrder" and self.phase in ("sync", "ready"):
            if self._is_spec_order(data):
                self._order(data)
        elif name == "RtnTrade" and self.phase in ("sync", "ready"):
            if not self._is_spec_trade(data):
                return None
            key = self._trade_key(data)
            if self.position_ready:
                self._trade(data, update_position=True)
            elif key not in self.live_trade_buffer:
                if len(self.live_trade_buffer) > 32767:
                    raise BufferError("登录期间的成交回报暂存队列已满")
                self.live_trade_buffer[key] = data
        elif name in ("RspOrderInsert", "ErrRtnOrderInsert") and code:
            order = self._by_ref(data.get("OrderRef"))
            if order is None and rid:
                order = next(
                    (o for o in self.native_orders.values() if o.get("request_id") == rid), None
                )
            if not order:
                return None
            order.update(
                status="REJECTED",
                is_confirmed=True,
                status_msg="报单被拒绝",
                pending_finish=False,
                expected_traded=order["volume_traded"],
                cancel_pending=False,
                cancel_error=None,
            )
            self._recompute_frozen(symbol=order["symbol"])
            self._aggregate(order)
            self._schedule_account()
            self._touch()
        elif name in ("RspOrderAction", "ErrRtnOrderAction") and code:
            system_id = data.get("OrderSysID", "").strip()
            order = self.native_orders.get(self.system_orders.get(system_id)) if system_id else None
            if order is None and rid:
                order = next(
                    (o for o in self.native_orders.values() if o.get("cancel_request_id") == rid),
                    None,
                )
            if order is None and data.get("OrderRef"):
                key = (data.get("FrontID"), data.get("SessionID"), str(data["OrderRef"]))
                order = self.native_orders.get(self.ref_orders.get(key))
            if not order or (rid and order.get("cancel_request_id") != rid):
                return None
            if order["cancel_pending"] and order.get("cancel_request_id") is not None:
                order["cancel_pending"] = False
                order["cancel_error"] = "撤单被拒绝"
                self._aggregate(order)
                self._touch()
        return None

    # ---- queries ---------------------------------------------------------------------------

    def _query_error(self, code, message):
        query = self.inflight
        self.inflight = None
        kind = query["kind"]
        if code in (90, 154):
            (self.query_recovery if self.phase == "ready" else self.recovery).fail()
            self.last_query = time.monotonic() + 1
            if self.phase == "ready":
                self.pending.add(kind)
            return None
        label = QUERY_LABELS.get(kind, kind)
        raise ZqError("CTP " + label + "查询失败（错误码：" + str(code) + "）：" + message)

    def tick(self, now):
        if self.phase == "ready" and (self.inflight or self.pending):
            self.query_recovery.check()
        if self.phase == "connecting":
            if now - self.phase_time > self.timeout:
                raise TimeoutError()
            return None
        if self.phase not in ("ready", "sync"):
            if now - self.phase_time > self.timeout:
                raise TimeoutError("CTP 连接或登录超时")
            return None
        if self.inflight:
            query = self.inflight
            if now - query["progress"] > self.timeout:
                if self.phase == "ready":
                    self.query_recovery.fail()
                    self.pending.add(query["kind"])
                    self.inflight = None
                else:
                    label = QUERY_LABELS.get(query["kind"], query["kind"])
                    raise TimeoutError("CTP " + label + "查询超时且无进展")
            return None
        if self.phase == "sync" and now - self.phase_time > self.timeout:
            raise TimeoutError("CTP 登录同步超时且无进展")
        if self.phase == "ready" and now - self.last_account_refresh >= 5:
            self.pending.add("account")
        if now - self.last_query < 1:
            return None
        if self.phase == "sync":
            kind = SYNC_STEPS[self.sync_index]
        elif self.pending:
            kind = "account"
        else:
            return None
        fields = {"CurrencyID": "CNY"} if kind == "account" else {}
        request_id, code = self._request(QUERY[kind], fields)
        self.last_query = now
        if code in (-2, -3):
            (self.query_recovery if self.phase == "ready" else self.recovery).fail()
            self.last_query = now + 1
            return None
        if code != 0:
            label = QUERY_LABELS[kind]
            raise TimeoutError("CTP " + label + "查询提交失败（错误码：" + str(code) + "）")
        self.pending.discard(kind)
        self.phase_time = now
        self.inflight = {
            "id": request_id,
            "kind": kind,
            "rows": [],
            "progress": now,
            "revision": self.revision,
        }
        return None

    # ---- query completion ------------------------------------------------------------------

    def _complete(self, query):
        kind = query["kind"]
        rows = query["rows"]
        now_ms = int(time.time() * 1000)
        if kind == "instruments":
            self.instruments = {
                f"{row['ExchangeID']}.{row['InstrumentID']}": row
                for row in rows
                if row.get("ProductClass") in ("1", "2")
            }
        elif kind == "orders":
            for row in rows:
                if self._is_spec_order(row):
                    self._order(row, query_revision=query["revision"])
        elif kind == "trades_before":
            trades = [row for row in rows if self._is_spec_trade(row)]
            self.trade_before = {self._trade_key(row) for row in trades}
            for row in trades:
                self._trade(row, update_position=False)
        elif kind == "positions":
            self.position_candidate = self._positions(rows, now_ms)
        elif kind == "trades_after":
            trades = [row for row in rows if self._is_spec_trade(row)]
            stable = {self._trade_key(row) for row in trades}
            for row in trades:
                self._trade(row, update_position=False)
            if not self.trade_before <= stable:
                raise TimeoutError("登录期间成交查询结果回退，需要重建会话")
            if (
                self.trade_before != stable
                or not set(self.live_trade_buffer) <= stable
                or self.pending_trades
            ):
                # Trades happened while the snapshot was taken: take all three again.
                self.trade_before = stable
                self.position_candidate = None
                self.sync_index = SYNC_STEPS.index("trades_before")
                self.phase_time = time.monotonic()
                self._touch()
                return None
            self.p = {
                symbol: empty_position(symbol, now_ms if symbol in self.instruments else None)
                for symbol in self.positions
            }
            self.p.update(self.position_candidate or {})
            self.position_candidate = None
            self.live_trade_buffer.clear()
            self.position_ready = True
            # Every position of the new baseline needs its closable and frozen volumes.
            self._recompute_frozen()
            self.published_position_time = now_ms
        elif kind == "account":
            self._complete_account(rows, now_ms)
            self.query_recovery.success()
        if self.phase == "sync":
            self.phase_time = time.monotonic()
            self.sync_index += 1
            if self.sync_index == len(SYNC_STEPS):
                self.phase = "ready"
                self._status("READY")
                self.recovery.success()
        self._touch()
        return None

    def _complete_account(self, rows, now_ms):
        selected = [
            row
            for row in rows
            if row.get("CurrencyID", "CNY") == "CNY" and row.get("AccountID") == self.config.user_id
        ]
        if len(selected) != 1:
            raise ZqError("完整资金查询中应恰好包含一个人民币账户")
        row = selected[0]
        if row.get("TradingDay") and row.get("TradingDay") != self.day:
            raise TimeoutError("资金查询期间交易日发生变化")
        self.a.update({key: finite(row.get(field)) for key, field in ACCOUNT_FIELDS.items()})
        self.a["updated_at"] = now_ms
        self.last_account_refresh = time.monotonic()

    def _positions(self, rows, updated):
        positions = {}
        for row in rows:
            if row.get("HedgeFlag") != "1":
                continue
            if row.get("TradingDay") and row.get("TradingDay") != self.day:
                raise TimeoutError("持仓查询期间交易日发生变化")
            symbol = f"{row['ExchangeID']}.{row['InstrumentID']}"
            if symbol not in self.instruments and row.get("Position", 0):
                raise ZqError("持仓查询包含 SDK 不支持的合约类别")
            if row["PosiDirection"] == "2":
                side = "long"
            elif row["PosiDirection"] == "3":
                side = "short"
            else:
                raise ZqError("持仓查询包含不支持的净持仓方向")
            position = positions.setdefault(symbol, empty_position(symbol, updated))
            total = row["Position"]
            today = row["TodayPosition"]
            if row["ExchangeID"] in ("SHFE", "INE"):
                today = total if row["PositionDate"] == "1" else 0
            history = total - today
            if min(total, today, history) < 0:
                raise ZqError("柜台持仓快照中的今昨仓数量无效")
            position["pos_" + side] += total
            position["pos_" + side + "_today"] += today
            position["pos_" + side + "_his"] += history
        for position in positions.values():
            position["pos"] = position["pos_long"] - position["pos_short"]
        return positions

    # ---- orders ----------------------------------------------------------------------------

    def _by_ref(self, ref):
        order_id = self.ref_orders.get((self.front, self.session, str(ref)))
        return self.native_orders.get(order_id) if order_id is not None else None

    @staticmethod
    def _is_spec_order(row):
        flag = row.get("CombHedgeFlag")
        return bool(flag) and str(flag)[0] == "1"

    @staticmethod
    def _is_spec_trade(row):
        return row.get("HedgeFlag") == "1"

    def _child(self, row):
        key = (
            row.get("FrontID", self.front),
            row.get("SessionID", self.session),
            str(row.get("OrderRef", "")),
        )
        raw = row.get("OrderSysID", "")
        system_id = raw.strip() or None
        order_id = self.ref_orders.get(key)
        if system_id:
            known = self.system_orders.get(system_id)
            if order_id and known and order_id != known:
                raise BufferError("同一个 CTP OrderSysID 关联到不同订单")
            order_id = order_id or known
        symbol = str(row["ExchangeID"]) + "." + str(row["InstrumentID"])
        if order_id is None:
            order_id = local_order_id(*key)
            self.o[order_id] = {
                "order_id": order_id,
                "order_sys_id": system_id,
                "symbol": symbol,
                "direction": "BUY" if row.get("Direction") == "0" else "SELL",
                "offset": order_offset(row.get("CombOffsetFlag") or row.get("OffsetFlag")),
                "limit_price": finite(row.get("LimitPrice")),
                "volume_original": 0,
                "volume_traded": 0,
                "volume_left": 0,
                "status": "PENDING",
                "status_msg": "",
                "cancel_pending": False,
                "cancel_error": None,
                "insert_time": timestamp(row.get("InsertDate", ""), row.get("InsertTime", "")),
            }
            self.native_orders[order_id] = {
                "order_id": order_id,
                "parent": order_id,
                "symbol": symbol,
                "direction": self.o[order_id]["direction"],
                "offset": self.o[order_id]["offset"],
                "exchange_order_id": raw,
                "close_type": "UNSPECIFIED",
                "volume_original": 0,
                "volume_traded": 0,
                "volume_left": 0,
                "status": "PENDING",
                "is_confirmed": False,
                "status_msg": "",
                "cancel_pending": False,
                "cancel_error": None,
                "ref": key[2],
                "front": key[0],
                "session": key[1],
                "cancel_request_id": None,
                "pending_finish": False,
                "expected_traded": 0,
                "finish_status": None,
                "finish_msg": "",
            }
        self.ref_orders[key] = order_id
        order = self.native_orders[order_id]
        if system_id:
            bound = order["exchange_order_id"].strip()
            if bound and bound != system_id:
                raise BufferError("已有订单的 CTP OrderSysID 发生变化")
            self.system_orders[system_id] = order_id
        return order

    def _order(self, row, query_revision=None):
        if row.get("TradingDay") and row.get("TradingDay") != self.day:
            raise TimeoutError("订单回报的交易日发生变化")
        order = self._child(row)
        order_id = order["order_id"]
        if query_revision is not None and self.order_revisions.get(order_id, 0) > query_revision:
            return None
        previous = dict(order)
        submit = row.get("OrderSubmitStatus")
        if submit == "4":
            status = "REJECTED"
        elif row["OrderStatus"] == "0":
            status = "FILLED"
        elif row["OrderStatus"] in ("2", "4", "5"):
            status = "CANCELLED"
        else:
            status = "ALIVE"
        finished = status in ("FILLED", "CANCELLED", "REJECTED")
        current = order["status"]
        if (
            (current == "FILLED" and status != "FILLED")
            or (current == "REJECTED" and status != "REJECTED")
            or (current == "CANCELLED" and status not in ("CANCELLED", "REJECTED"))
            or (order["pending_finish"] and not finished)
        ):
            return None
        total = row["VolumeTotalOriginal"]
        traded = max(row.get("VolumeTraded", 0), order["expected_traded"])
        if status == "FILLED":
            traded = max(total, traded)
        flag = row["CombOffsetFlag"][:1]
        close_type = {"0": None, "3": "TODAY", "4": "HISTORY"}.get(flag, "UNSPECIFIED")
        text = previous["status_msg"] if submit == "5" and status == "ALIVE" else ""
        if not text:
            texts = {
                "FILLED": "全部成交",
                "CANCELLED": "剩余委托已不再排队",
                "REJECTED": "报单被拒绝",
            }
            text = texts.get(status, "")
        order.update(
            exchange_order_id=row.get("OrderSysID", ""),
            close_type=close_type,
            volume_original=total,
            volume_left=total - order["volume_traded"],
            is_confirmed=True,
            status_msg=text,
            front=row["FrontID"],
            session=row["SessionID"],
            ref=row["OrderRef"],
            expected_traded=traded,
        )
        if order["volume_left"] < 0:
            raise BufferError("成交数量超过订单原始数量")
        order["pending_finish"] = finished and order["volume_traded"] < traded
        if order["pending_finish"]:
            order["finish_status"] = status
            order["finish_msg"] = text
            order["status_msg"] = previous["status_msg"]
        else:
            order["finish_status"] = None
            order["finish_msg"] = ""
        order["status"] = "ALIVE" if order["pending_finish"] else status
        if finished:
            order["cancel_pending"] = False
            order["cancel_error"] = None
        elif submit == "5" and order["cancel_pending"] and order["cancel_request_id"] is not None:
            order["cancel_pending"] = False
            order["cancel_error"] = "撤单被拒绝"
        parent = self.o[order["parent"]]
        if parent["limit_price"] is None:
            parent["limit_price"] = finite(row.get("LimitPrice"))
            parent["insert_time"] = timestamp(row.get("InsertDate", ""), row.get("InsertTime", ""))
        if order != previous:
            self.revision += 1
            self.order_revisions[order_id] = self.revision
            if self.position_ready:
                self._recompute_frozen(symbol=order["symbol"])
            self._aggregate(order)
            self._schedule_account()
            self._touch()
        system_id = row.get("OrderSysID", "").strip()
        for trade in list(self.pending_trades.values()):
            if system_id and trade.get("OrderSysID", "").strip() == system_id:
                self._trade(trade, update_position=self.position_ready)
        return None

    # ---- trades ----------------------------------------------------------------------------

    def _trade_id(self, row):
        trade_id = row.get("TradeID", "").strip()
        if not trade_id:
            raise BufferError("CTP 成交回报缺少 TradeID")
        return trade_id

    def _trade_key(self, row):
        # Exchanges number their trades separately and both sides of a self-trade share one
        # TradeID: only exchange, TradeID and direction together name one trade.
        return (row.get("ExchangeID", ""), self._trade_id(row), row.get("Direction", ""))

    def _trade(self, row, *, update_position):
        if not self._is_spec_trade(row):
            return False
        if row.get("TradingDay") and row.get("TradingDay") != self.day:
            raise TimeoutError("成交回报的交易日发生变化")
        key = self._trade_key(row)
        if key in self.t:
            return False
        system_id = row.get("OrderSysID", "").strip()
        order_id = self.system_orders.get(system_id) if system_id else None
        if order_id is None:
            if key not in self.pending_trades:
                if len(self.pending_trades) > 32767:
                    raise BufferError("未关联订单的成交暂存队列已满")
                self.pending_trades[key] = row
            return False
        self.pending_trades.pop(key, None)
        order = self.native_orders[order_id]
        volume = row["Volume"]
        if type(volume) is not int or volume <= 0:
            raise BufferError("成交数量无效")
        order["volume_traded"] += volume
        order["volume_left"] = order["volume_original"] - order["volume_traded"]
        if order["volume_left"] < 0:
            raise BufferError("成交数量超过订单原始数量")
        if order["pending_finish"] and order["volume_traded"] >= order["expected_traded"]:
            order["pending_finish"] = False
            order["status"] = order.pop("finish_status")
            order["status_msg"] = order.pop("finish_msg", "")
        if order["volume_left"] == 0:
            order["pending_finish"] = False
            if order["status"] != "FILLED" or not order["status_msg"]:
                order["status_msg"] = "全部成交"
            order["status"] = "FILLED"
        if order["status"] in ("FILLED", "CANCELLED", "REJECTED"):
            order["cancel_pending"] = False
            order["cancel_error"] = None
        symbol = str(row["ExchangeID"]) + "." + str(row["InstrumentID"])
        self.t[key] = {
            "trade_id": key[1],
            "order_sys_id": system_id,
            "symbol": symbol,
            "direction": "BUY" if row["Direction"] == "0" else "SELL",
            "offset": order_offset(row["OffsetFlag"]),
            "price": row["Price"],
            "volume": volume,
            "trade_time": timestamp(row["TradeDate"], row["TradeTime"]),
        }
        if update_position:
            self._apply_position_trade(row)
            self._recompute_frozen(symbol=symbol)
        self._aggregate(order)
        self._schedule_account()
        self._touch()
        return True

    def _apply_position_trade(self, row):
        symbol = str(row["ExchangeID"]) + "." + str(row["InstrumentID"])
        position = self.p.get(symbol)
        if position is None:
            position = self.p[symbol] = empty_position(symbol, int(time.time() * 1000))
        if position["pos_long"] is None or position["pos_short"] is None:
            # One trade cannot make a position of unknown size known: it stays unknown.
            return None
        volume = row["Volume"]
        if row["OffsetFlag"] == "0":
            side = "long" if row["Direction"] == "0" else "short"
            position["pos_" + side] += volume
            position["pos_" + side + "_today"] += volume
        else:
            side = "short" if row["Direction"] == "0" else "long"
            if volume > position["pos_" + side]:
                raise BufferError("平仓成交数量超过本地持仓")
            if row["OffsetFlag"] == "3":
                parts = [("today", volume)]
            elif row["OffsetFlag"] == "4":
                parts = [("his", volume)]
            else:
                his = position["pos_" + side + "_his"]
                if his < volume:
                    parts = [("his", his), ("today", volume - his)]
                else:
                    parts = [("his", volume)]
            for bucket, amount in parts:
                if amount > position["pos_" + side + "_" + bucket]:
                    raise BufferError("平仓成交数量超过本地对应今昨仓")
                position["pos_" + side + "_" + bucket] -= amount
            position["pos_" + side] -= volume
        position["pos"] = position["pos_long"] - position["pos_short"]
        position["updated_at"] = int(time.time() * 1000)
        return None

    # ---- frozen volumes and aggregation ----------------------------------------------------

    def _free_parts(self, symbol, side):
        position = self.p.get(symbol)
        if not position or position["pos_" + side] is None:
            return (0, 0)
        his = position["pos_" + side + "_his"]
        today = position["pos_" + side + "_today"]
        closing = "SELL" if side == "long" else "BUY"
        for order in self.native_orders.values():
            if (
                order["symbol"] != symbol
                or order["direction"] != closing
                or order["offset"] == "OPEN"
                or order["status"] in ("FILLED", "CANCELLED", "REJECTED")
            ):
                continue
            left = order["volume_left"]
            if order["close_type"] == "TODAY":
                today -= left
            elif order["close_type"] == "HISTORY":
                his -= left
            else:
                used = min(left, max(his, 0))
                his -= used
                today -= left - used
        if min(his, today) < 0:
            raise BufferError("有效平仓委托冻结量超过本地持仓")
        return (his, today)

    def _recompute_frozen(self, symbol=None):
        now = int(time.time() * 1000)
        if symbol is None:
            rows = list(self.p.items())
        else:
            rows = [(symbol, self.p[symbol])] if symbol in self.p else []
        for name, position in rows:
            if position["pos_long"] is None:
                continue
            before = (
                position["frozen_long"],
                position["frozen_short"],
                position["available_long"],
                position["available_short"],
            )
            for side in ("long", "short"):
                his, today = self._free_parts(name, side)
                position["available_" + side] = his + today
                position["frozen_" + side] = position["pos_" + side] - (his + today)
            after = (
                position["frozen_long"],
                position["frozen_short"],
                position["available_long"],
                position["available_short"],
            )
            if after != before:
                position["updated_at"] = now
        return None

    def _aggregate(self, child=None):
        children = [child] if child is not None else list(self.native_orders.values())
        for order in children:
            self.o[order["order_id"]].update(
                order_sys_id=order["exchange_order_id"].strip() or None,
                volume_original=order["volume_original"],
                volume_traded=order["volume_traded"],
                volume_left=order["volume_left"],
                status=order["status"],
                status_msg=order["status_msg"],
                cancel_pending=order["cancel_pending"],
                cancel_error=order["cancel_error"],
            )
        return None

    # ---- order entry -----------------------------------------------------------------------

    async def insert(self, symbol, direction, offset, volume, limit_price):
        if self.phase != "ready" or self.session_status != "READY" or self.reset_pending:
            return [TradingResult("REJECTED", None, "交易账户未就绪，报单未提交")]
        try:
            check_symbol(symbol)
            if direction not in ("BUY", "SELL") or offset not in ("OPEN", "CLOSE"):
                raise ValueError()
            if type(volume) is not int or not 1 <= volume <= 2147483647:
                raise ValueError()
            if isinstance(limit_price, bool) or finite(limit_price) is None or not limit_price > 0:
                raise ValueError()
            return await self._insert(symbol, direction, offset, volume, limit_price)
        except (ValueError, TypeError, OverflowError, BufferError, KeyError):
            return [TradingResult("REJECTED", None, "报单参数无效或可平持仓不足，未提交")]

    async def _insert(self, symbol, direction, offset, volume, limit_price):
        if self.phase != "ready" or self.session_status != "READY" or self.reset_pending:
            raise ZqError("交易账户尚未 READY，请调用 wait_update 等待同步完成")
        instrument = self.instruments.get(symbol)
        if not instrument or not instrument.get("IsTrading"):
            raise ValueError("合约不存在、不受支持或当前不可交易")
        tick = instrument["PriceTick"]
        if tick > 0:
            steps = limit_price / tick
            if not math.isclose(steps, round(steps), rel_tol=0, abs_tol=1e-07):
                raise ValueError("limit_price 不符合合约最小变动价位")
        plan = plan_parts(self, symbol, direction, offset, volume)
        minimum = instrument["MinLimitOrderVolume"]
        maximum = instrument["MaxLimitOrderVolume"]
        if any(not minimum <= part_volume <= maximum for _, part_volume in plan):
            raise ValueError("单笔委托数量超出合约限价委托范围")
        self._free_parts(symbol, "long")
        self._free_parts(symbol, "short")
        exchange, code = symbol.split(".", 1)
        created = [new_order(self, symbol, direction, part, limit_price) for part in plan]
        results = []
        submit_failed = False
        for child, flag in created:
            order_id = child["order_id"]
            error = ""
            if submit_failed:
                error = "未发送：前一笔委托提交失败"
            else:
                try:
                    child["request_id"] = self.request_id + 1
                    fields = {
                        "InstrumentID": code,
                        "ExchangeID": exchange,
                        "OrderRef": child["ref"],
                        "Direction": "0" if direction == "BUY" else "1",
                        "CombOffsetFlag": flag,
                        "CombHedgeFlag": "1",
                        "OrderPriceType": "2",
                        "LimitPrice": limit_price,
                        "VolumeTotalOriginal": child["volume_original"],
                        "TimeCondition": "3",
                        "VolumeCondition": "1",
                        "MinVolume": 1,
                        "ContingentCondition": "1",
                        "ForceCloseReason": "0",
                        "IsAutoSuspend": 0,
                        "UserForceClose": 0,
                    }
                    child["request_id"], result = self._request("OrderInsert", fields)
                    error = "报单未提交" if result != 0 else ""
                except (TypeError, ValueError, OverflowError):
                    error = "报单参数无效，未提交"
                except Exception:
                    child["status_msg"] = "报单提交结果不明，等待柜台回报"
                    results.append(TradingResult("UNKNOWN", order_id, child["status_msg"]))
                    submit_failed = True
                    continue
            if error:
                self.native_orders.pop(order_id, None)
                self.o.pop(order_id, None)
                self.ref_orders.pop((child["front"], child["session"], child["ref"]), None)
                results.append(TradingResult("REJECTED", order_id, error))
                submit_failed = True
                continue
            results.append(TradingResult("SUBMITTED", order_id))
        handed_over = any(result.status != "REJECTED" for result in results)
        try:
            self._recompute_frozen(symbol=symbol)
            for child, _ in created:
                if child["order_id"] in self.native_orders:
                    self._aggregate(child)
        except (ValueError, TypeError, OverflowError, BufferError, KeyError):
            # Orders at the counter are never reported as unsent: the next order return
            # meets the same contradiction and the main loop rebuilds the session.
            if not handed_over:
                raise
        if handed_over:
            self._schedule_account()
            self._touch()
        return results

    def cancel(self, order_id):
        if not isinstance(order_id, str):
            return []
        values = self.o.get(order_id)
        if values is None and order_id in self.orders:
            values = self.orders[order_id]._values
        if not values or values["status"] in ("FILLED", "CANCELLED", "REJECTED"):
            return []
        if self.session_status != "READY" or self.reset_pending:
            return [TradingResult("REJECTED", order_id, "交易账户未就绪，撤单未提交")]
        child = self.native_orders.get(order_id)
        if child is None:
            return [TradingResult("REJECTED", order_id, "订单尚未确认，撤单未提交")]
        if child["pending_finish"] or child["cancel_pending"]:
            return []
        if not child["is_confirmed"] or not child["exchange_order_id"].strip():
            return [TradingResult("REJECTED", order_id, "订单尚未确认，撤单未提交")]
        parts = child["symbol"].split(".")
        fields = {
            "InstrumentID": parts[1],
            "ExchangeID": parts[0],
            "OrderSysID": child["exchange_order_id"],
            "ActionFlag": "0",
        }
        try:
            rid, code = self._request("OrderAction", fields)
        except (TypeError, ValueError, OverflowError):
            return [TradingResult("REJECTED", order_id, "撤单参数无效，未提交")]
        except Exception:
            outcome = TradingResult("UNKNOWN", order_id, "撤单提交结果不明，等待柜台回报")
            rid = self.request_id
        else:
            if code != 0:
                return [TradingResult("REJECTED", order_id, "撤单未提交")]
            outcome = TradingResult("SUBMITTED", order_id)
        child["cancel_request_id"] = rid
        child["cancel_pending"] = True
        child["cancel_error"] = None
        self._aggregate(child)
        self._touch()
        return [outcome]

    # ---- commit to user views --------------------------------------------------------------

    def _update_view(self, obj, values, changes):
        fields = obj.fields
        stored = obj._values
        changed = {
            key for key in values if key in fields and different(stored.get(key), values[key])
        }
        stored.update({key: value for key, value in values.items() if key in fields})
        changes.setdefault(id(obj), set()).update(changed)
        return changed

    def _map_view(self, view, key, values, changes):
        new = key not in view
        if new:
            item = view.item_type()
            view._data[key] = item
            self.objects[id(item)] = item
        item = view._data[key]
        marks = changes.setdefault(id(view), set())
        marks.update(self._update_view(item, values, changes))
        if new:
            marks.add("__members__")
        return item

    def commit(self, changes):
        if not self.dirty:
            return False
        self.dirty = False
        self.changed.clear()
        status_changed = self.published_status != self.session_status
        self.published_status = self.session_status
        if self.session_status != "READY":
            return status_changed
        self._update_view(self.account, self.a, changes)
        removed = [key for key in self.orders._data if key not in self.o]
        for key in removed:
            self.objects.pop(id(self.orders._data[key]), None)
            del self.orders._data[key]
        if removed:
            changes.setdefault(id(self.orders), set()).add("__members__")
        if self.reset_pending:
            gone = [key for key in self.trade_views if key not in self.t]
            if gone:
                dropped = {id(self.trade_views.pop(key)) for key in gone}
                self.trades[:] = [trade for trade in self.trades if id(trade) not in dropped]
                for identity in dropped:
                    self.objects.pop(identity, None)
                changes.setdefault(id(self.trades), set()).add("__members__")
        for code, record in self.p.items():
            self._map_view(self.positions, code, record, changes)
        for key in self.o:
            self._map_view(self.orders, key, self.o[key], changes)
        for key, values in self.t.items():
            trade = self.trade_views.get(key)
            new = trade is None
            if new:
                trade = Trade()
                self.trade_views[key] = trade
                self.trades.append(trade)
                self.objects[id(trade)] = trade
            changed = self._update_view(trade, values, changes)
            if new or changed:
                marks = changes.setdefault(id(self.trades), set())
                marks.update(changed)
                if new:
                    marks.add("__members__")
        self.reset_pending = False
        return True

    async def close(self):
        if self.task:
            self.task.cancel()
            await asyncio.gather(self.task, return_exceptions=True)
        self._close_native()
