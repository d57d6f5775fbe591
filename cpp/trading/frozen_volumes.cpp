// What working close orders reserve of each position (its frozen and available volumes), and
// the user-level order records kept in step with their native orders.
#include <array>
#include <iterator>

#include "core/py_errors.hpp"
#include "core/py_ops.hpp"
#include "trading/session.hpp"
#include "trading/session_values.hpp"

namespace zqkit::trading {

namespace {

using core::attr;
using core::equal;
using core::item;
using core::not_equal;
using core::set_item;

// The keys of an exact "long" or "short", or nullptr for anything else.
const PositionSide* known_side(nb::handle side) {
    for (const PositionSide* known : {&long_side, &short_side}) {
        if (PyUnicode_CheckExact(side.ptr()) && equal(side, *known->word)) return known;
    }
    return nullptr;
}

// "pos_" + side + suffix: the key named by an interned one for a known side, built as Python
// builds it otherwise (with its TypeError for a side that is not a str).
nb::object side_key(nb::handle side, const PositionSide* known,
                    const core::InternedName* PositionSide::* member,
                    const core::InternedName* suffix) {
    if (known != nullptr) return nb::borrow(*(known->*member));
    nb::object key = core::add(name::pos_prefix, side);
    return suffix != nullptr ? core::add(key, *suffix) : key;
}

// A close order still working on the side closed by `closing` orders of `symbol`.
bool is_working_close(nb::handle order, nb::handle symbol, nb::handle closing) {
    return !(not_equal(item(order, name::symbol), symbol) ||
             not_equal(item(order, name::direction), closing) ||
             equal(item(order, name::offset), name::open) ||
             is_finished(item(order, name::status)));
}

// Takes an order's remaining volume from the bucket it closes: today's lots, earlier days' lots,
// or earlier days' lots first when it does not say.
void reserve(nb::handle order, nb::object& his, nb::object& today) {
    nb::object left = item(order, name::volume_left);
    if (equal(item(order, name::close_type), name::close_today)) {
        today = core::subtract_in_place(today, left);
    } else if (equal(item(order, name::close_type), name::close_history)) {
        his = core::subtract_in_place(his, left);
    } else {
        nb::object used = core::smaller(left, core::larger(his, zero()));
        his = core::subtract_in_place(his, used);
        today = core::subtract_in_place(today, core::subtract(left, used));
    }
}

// The four derived fields of a position, frozen before available.
std::array<nb::object, 4> derived_fields(nb::handle position) {
    return {item(position, name::frozen_long), item(position, name::frozen_short),
            item(position, name::available_long), item(position, name::available_short)};
}

// after != before, compared as two tuples are: members in order, by `==` (identity first),
// until one pair is not equal.
bool differ(const std::array<nb::object, 4>& after, const std::array<nb::object, 4>& before) {
    for (size_t index = 0; index < after.size(); ++index) {
        int same = core::checked_status(
            PyObject_RichCompareBool(after[index].ptr(), before[index].ptr(), Py_EQ));
        if (!same) return true;
    }
    return false;
}

void recompute_position(nb::handle self, nb::handle symbol, nb::handle position, nb::handle now) {
    if (item(position, name::pos_long).is_none()) return;
    std::array<nb::object, 4> before = derived_fields(position);
    for (const PositionSide* side : {&long_side, &short_side}) {
        auto [his, today] =
            core::unpack_pair(core::call_method(self, name::_free_parts, symbol, *side->word));
        set_item(position, *side->available, core::add(his, today));
        nb::object total = item(position, *side->total);
        set_item(position, *side->frozen, core::subtract(total, core::add(his, today)));
    }
    if (differ(derived_fields(position), before)) set_item(position, name::updated_at, now);
}

// Copies a native order's state into the user-level order record of the same id.
void aggregate_order(nb::handle self, nb::handle order) {
    nb::object records = attr(self, name::o);
    nb::object record = item(records, item(order, name::order_id));
    nb::object update;
    if (!PyDict_CheckExact(record.ptr())) update = attr(record, name::update);
    nb::object exchange_order_id = core::stripped(item(order, name::exchange_order_id));
    nb::object values[] = {
        core::truthy(exchange_order_id) ? exchange_order_id : nb::none(),
        item(order, name::volume_original),
        item(order, name::volume_traded),
        item(order, name::volume_left),
        item(order, name::status),
        item(order, name::status_msg),
        item(order, name::cancel_pending),
        item(order, name::cancel_error),
    };
    static PyObject* const fields = core::keyword_names(
        {&name::order_sys_id, &name::volume_original, &name::volume_traded, &name::volume_left,
         &name::status, &name::status_msg, &name::cancel_pending, &name::cancel_error});
    if (update.is_valid()) {
        PyObject* stack[std::size(values)];
        for (size_t index = 0; index < std::size(values); ++index)
            stack[index] = values[index].ptr();
        core::checked(PyObject_Vectorcall(update.ptr(), stack, 0, fields));
        return;
    }
    for (size_t index = 0; index < std::size(values); ++index) {
        core::checked_status(
            PyDict_SetItem(record.ptr(), PyTuple_GET_ITEM(fields, index), values[index].ptr()));
    }
}

}  // namespace

nb::object free_parts(nb::handle self, nb::handle symbol, nb::handle side) {
    nb::object position = core::get(attr(self, name::p), symbol);
    const PositionSide* known = known_side(side);
    if (!core::truthy(position) ||
        item(position, side_key(side, known, &PositionSide::total, nullptr)).is_none()) {
        static PyObject* const nothing_free = PyTuple_Pack(2, zero().ptr(), zero().ptr());
        return nb::borrow(nothing_free);  // kept for the process, like Python's constant
    }
    nb::object his = item(position, side_key(side, known, &PositionSide::his, &name::his_suffix));
    nb::object today =
        item(position, side_key(side, known, &PositionSide::today, &name::today_suffix));
    nb::handle closing = known != nullptr               ? *known->closing
                         : equal(side, name::long_side) ? name::sell
                                                        : name::buy;
    core::for_each_value(attr(self, name::native_orders), [&](nb::handle order) {
        if (is_working_close(order, symbol, closing)) reserve(order, his, today);
    });
    if (core::compare(core::smaller(his, today), zero(), Py_LT)) {
        raise_buffer_error("有效平仓委托冻结量超过本地持仓");
    }
    return core::checked(PyTuple_Pack(2, his.ptr(), today.ptr()));
}

void recompute_frozen(nb::handle self, nb::handle symbol) {
    nb::object now = now_ms();
    if (!symbol.is_none()) {
        if (!core::contains(attr(self, name::p), symbol)) return;
        recompute_position(self, symbol, item(attr(self, name::p), symbol), now);
        return;
    }
    nb::object rows = core::items_list(attr(self, name::p));
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(rows.ptr()); ++index) {
        auto [row_symbol, position] = core::unpack_pair(PyList_GET_ITEM(rows.ptr(), index));
        recompute_position(self, row_symbol, position, now);
    }
}

void aggregate(nb::handle self, nb::handle child) {
    if (!child.is_none()) {
        aggregate_order(self, child);
        return;
    }
    nb::object children = core::values_list(attr(self, name::native_orders));
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(children.ptr()); ++index) {
        aggregate_order(self, nb::borrow(PyList_GET_ITEM(children.ptr(), index)));
    }
}

}  // namespace zqkit::trading
