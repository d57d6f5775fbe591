// Account, Position, Order, Trade: the four snapshots the session shows the user.
#include "core/python_class.hpp"
#include "livebook/bindings.hpp"

#include <initializer_list>
#include <stdexcept>

namespace zqkit::livebook {

namespace {

enum class Kind { Text, OptionalText, OptionalFloat, OptionalInt, Flag, OrderStatus };

struct RecordSpec {
    const char* name;
    const char* doc;
    const char* field_names;  // one space-separated string, split into `fields`
    std::initializer_list<Kind> kinds;
};

nb::object annotation(Kind kind) {
    auto type = [](PyTypeObject& t) { return nb::handle(reinterpret_cast<PyObject*>(&t)); };
    switch (kind) {
        case Kind::Text:
            return nb::borrow(type(PyUnicode_Type));
        case Kind::OptionalText:
            return optional_of(type(PyUnicode_Type));
        case Kind::OptionalFloat:
            return optional_of(type(PyFloat_Type));
        case Kind::OptionalInt:
            return optional_of(type(PyLong_Type));
        case Kind::Flag:
            return nb::borrow(type(PyBool_Type));
        case Kind::OrderStatus:
            return nb::str("Literal['PENDING', 'ALIVE', 'FILLED', 'CANCELLED', 'REJECTED'] | None");
    }
    throw std::logic_error("unknown annotation kind");
}

void bind_record(nb::module_& m, const RecordSpec& spec) {
    nb::tuple fields = nb::tuple(nb::str(spec.field_names).attr("split")());
    if (fields.size() != spec.kinds.size()) throw std::logic_error("record annotations mismatch");
    nb::dict annotations;
    size_t index = 0;
    for (Kind kind : spec.kinds) annotations[fields[index++]] = annotation(kind);

    nb::dict ns;
    ns["__doc__"] = nb::str(spec.doc);
    ns["fields"] = fields;
    ns["__annotations__"] = annotations;
    m.attr(spec.name) = core::make_class(m, spec.name, nb::make_tuple(m.attr("LiveObject")), ns);
}

using enum Kind;

const RecordSpec kAccount{
    "Account",
    "只读资金快照；金额单位为人民币元，未知字段为 None。\n"
    "\n"
    "    金额仅由完整柜台查询更新，不根据行情或成交估算；交易日来自登录回报。",
    "account_id trading_day balance available margin frozen_margin commission "
    "frozen_commission close_profit position_profit deposit withdraw updated_at",
    {OptionalText, OptionalText, OptionalFloat, OptionalFloat, OptionalFloat, OptionalFloat,
     OptionalFloat, OptionalFloat, OptionalFloat, OptionalFloat, OptionalFloat, OptionalFloat,
     OptionalInt}};

const RecordSpec kPosition{
    "Position",
    "只读持仓快照；数量单位为手。\n"
    "\n"
    "    登录查询建立基线，之后根据真实成交本地更新；未知数量为 None。",
    "symbol pos_long pos_short pos_long_today pos_short_today available_long available_short",
    {Text, OptionalInt, OptionalInt, OptionalInt, OptionalInt, OptionalInt, OptionalInt}};

const RecordSpec kOrder{
    "Order",
    "只读订单快照；断线后观察句柄保留最后一次已提交的数据。",
    "order_id order_sys_id symbol direction offset limit_price volume_original volume_traded "
    "volume_left status status_msg cancel_pending cancel_error insert_time",
    {Text, OptionalText, Text, OptionalText, OptionalText, OptionalFloat, OptionalInt, OptionalInt,
     OptionalInt, OrderStatus, OptionalText, Flag, OptionalText, OptionalInt}};

const RecordSpec kTrade{
    "Trade",
    "只读真实成交快照，不包含估算手续费；断线后保留最后一次已提交的数据。",
    "trade_id order_sys_id symbol direction offset price volume trade_time",
    {Text, Text, Text, OptionalText, OptionalText, OptionalFloat, OptionalInt, OptionalInt}};

}  // namespace

void bind_records(nb::module_& m) {
    for (const RecordSpec* spec : {&kAccount, &kPosition, &kOrder, &kTrade}) bind_record(m, *spec);
}

}  // namespace zqkit::livebook
