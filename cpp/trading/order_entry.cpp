// Order entry: `insert` checks a limit order, splits a close on SHFE and INE into earlier-days and
// today parts, books one native order per part and sends one OrderInsert request each; `cancel`
// sends the OrderAction of one working order. Both answer at once with TradingResult records.
//
// `insert` runs once per user order, so records and requests are built from dict templates, and
// exact str, int and float values take C API paths; anything else (a str subclass, a replaced
// module global, a test double on the instance) goes through the Python operations of the plain
// version, in its order.
#include <cmath>
#include <utility>
#include <vector>

#include "core/py_errors.hpp"
#include "core/py_ops.hpp"
#include "trading/module_state.hpp"
#include "trading/names.hpp"
#include "trading/session.hpp"
#include "trading/session_values.hpp"

namespace zqkit::trading {

namespace {

using core::attr;
using core::call;
using core::call_method;
using core::checked;
using core::checked_status;
using core::equal;
using core::InternedName;
using core::is_one_of;
using core::item;
using core::not_equal;
using core::set_attr;
using core::set_item;
using core::truthy;

// ─── What the fast paths stand in for ──────────────────────────────────────────────────────────

// The objects imported with the module, kept for the life of the process. A fast path runs only
// while the object found at call time is still the one remembered here.
struct Originals {
    PyObject* result_class = nullptr;  // TradingResult
    PyObject* result_init = nullptr;   // TradingResult.__init__, made by dataclass()
    PyObject* local_order_id = nullptr;
    PyObject* finite = nullptr;
    PyObject* math = nullptr;
    PyObject* isfinite = nullptr;  // math.isfinite
    PyObject* isclose = nullptr;   // math.isclose
    PyObject* round = nullptr;     // builtins.round
};

// The class's own methods, as its __dict__ holds them.
struct OwnMethods {
    PyObject* insert = nullptr;  // _insert
    PyObject* request = nullptr;
    PyObject* free_parts = nullptr;
    PyObject* recompute_frozen = nullptr;
    PyObject* aggregate = nullptr;
    PyObject* schedule_account = nullptr;
    PyObject* touch = nullptr;
};

Originals originals;
OwnMethods own;

nb::handle one() {
    static PyObject* const value = PyLong_FromLong(1);  // kept for the process
    return value;
}

// ─── Small Python operations ───────────────────────────────────────────────────────────────────

// text.split(separator) or text.split(separator, 1) (`once`), through the method of a subclass.
nb::object split(nb::handle text, bool once) {
    if (PyUnicode_CheckExact(text.ptr()))
        return checked(PyUnicode_Split(text.ptr(), name::dot.ptr(), once ? 1 : -1));
    if (once) return call_method(text, name::split, name::dot, one());
    return call_method(text, name::split, name::dot);
}

// sequence[index]
nb::object element(nb::handle sequence, long index) {
    nb::object position = checked(PyLong_FromLong(index));
    return checked(PyObject_GetItem(sequence.ptr(), position.ptr()));
}

// isinstance(value, bool); an exact int or float cannot claim another class.
bool is_bool(nb::handle value) {
    if (PyFloat_CheckExact(value.ptr()) || PyLong_CheckExact(value.ptr())) return false;
    return core::is_instance(value, reinterpret_cast<PyObject*>(&PyBool_Type));
}

// isinstance(value, str)
bool is_str(nb::handle value) {
    if (PyUnicode_Check(value.ptr())) return true;
    return core::is_instance(value, reinterpret_cast<PyObject*>(&PyUnicode_Type));
}

// The exceptions `insert` answers with its parameter rejection.
bool is_parameter_error(const nb::python_error& error) {
    return error.matches(PyExc_ValueError) || error.matches(PyExc_TypeError) ||
           error.matches(PyExc_OverflowError) || error.matches(PyExc_BufferError) ||
           error.matches(PyExc_KeyError);
}

// The exceptions a request reports as invalid fields rather than an unknown outcome.
bool is_bad_request(const nb::python_error& error) {
    return error.matches(PyExc_TypeError) || error.matches(PyExc_ValueError) ||
           error.matches(PyExc_OverflowError);
}

// ─── Calls of the session's other methods ─────────────────────────────────────────────────────

// `self.<name>` finds the class's own method `method`: the class has plain attribute lookup, the
// type finds `method` first and the instance does not shadow it. Calling it then runs its C++
// body, which the call does here directly.
bool resolves_to_own(nb::handle self, const InternedName& name, PyObject* method) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (method == nullptr || type->tp_getattro != PyObject_GenericGetAttr) return false;
    if (_PyType_Lookup(type, name.ptr()) != method) return false;
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset == 0) return true;
    nb::object instance_dict = checked(PyObject_GenericGetDict(self.ptr(), nullptr));
    return checked_status(PyDict_Contains(instance_dict.ptr(), name.ptr())) == 0;
}

// self._request(method, fields)
nb::object send_request(nb::handle self, nb::handle method, nb::handle fields) {
    if (resolves_to_own(self, name::_request, own.request)) return request(self, method, fields);
    return call_method(self, name::_request, method, fields);
}

// self._free_parts(symbol, side)
nb::object free_parts_of(nb::handle self, nb::handle symbol, nb::handle side) {
    if (resolves_to_own(self, name::_free_parts, own.free_parts))
        return free_parts(self, symbol, side);
    return call_method(self, name::_free_parts, symbol, side);
}

// self._recompute_frozen(symbol=symbol)
void recompute_frozen_of(nb::handle self, nb::handle symbol) {
    if (resolves_to_own(self, name::_recompute_frozen, own.recompute_frozen)) {
        recompute_frozen(self, symbol);
        return;
    }
    core::call_method_kw(self, name::_recompute_frozen, symbol_keyword(), symbol);
}

// self._aggregate(child)
void aggregate_of(nb::handle self, nb::handle child) {
    if (resolves_to_own(self, name::_aggregate, own.aggregate)) {
        aggregate(self, child);
        return;
    }
    call_method(self, name::_aggregate, child);
}

// self._schedule_account()
void schedule_account_of(nb::handle self) {
    if (resolves_to_own(self, name::_schedule_account, own.schedule_account)) {
        schedule_account(self);
        return;
    }
    call_method(self, name::_schedule_account);
}

// self._touch()
void touch_of(nb::handle self) {
    if (resolves_to_own(self, name::_touch, own.touch)) {
        touch(self);
        return;
    }
    call_method(self, name::_touch);
}

// ─── Results ───────────────────────────────────────────────────────────────────────────────────

// The imported TradingResult with its own __init__, created by type() with object.__new__.
bool is_imported_result_class(PyObject* cls) {
    if (cls != originals.result_class || !Py_IS_TYPE(cls, &PyType_Type)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_new != PyBaseObject_Type.tp_new) return false;
    PyObject* init = PyDict_GetItemWithError(type->tp_dict, name::dunder_init.ptr());
    if (init == nullptr && PyErr_Occurred()) throw nb::python_error();
    return init == originals.result_init;
}

// TradingResult(status, order_id) or TradingResult(status, order_id, message). The frozen
// dataclass's __init__ stores the three fields with object.__setattr__, which is done here
// directly while the class is the imported one.
nb::object trading_result(nb::handle status, nb::handle order_id, nb::handle message = {}) {
    nb::object cls = global(name::trading_result);
    if (!is_imported_result_class(cls.ptr())) {
        return message.is_valid() ? call(cls, status, order_id, message)
                                  : call(cls, status, order_id);
    }
    static PyObject* const no_arguments = PyTuple_New(0);  // kept for the process
    nb::object result = checked(PyBaseObject_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls.ptr()),
                                                         no_arguments, nullptr));
    nb::handle text = message.is_valid() ? message : name::empty;
    checked_status(PyObject_GenericSetAttr(result.ptr(), name::status.ptr(), status.ptr()));
    checked_status(PyObject_GenericSetAttr(result.ptr(), name::order_id.ptr(), order_id.ptr()));
    checked_status(PyObject_GenericSetAttr(result.ptr(), name::message.ptr(), text.ptr()));
    return result;
}

// [value]
nb::object list_of(nb::handle value) {
    nb::object list = checked(PyList_New(1));
    PyList_SET_ITEM(list.ptr(), 0, value.inc_ref().ptr());
    return list;
}

// [TradingResult(status, order_id, message)]
nb::object one_result(nb::handle status, nb::handle order_id, nb::handle message = {}) {
    return list_of(trading_result(status, order_id, message));
}

nb::object no_results() {
    return checked(PyList_New(0));
}

// ─── Records built from templates ──────────────────────────────────────────────────────────────

// A dict literal's keys in order, with its constant values; a nullptr value is set per record.
struct Slot {
    const InternedName& key;
    PyObject* value;
};

PyObject* make_template(std::initializer_list<Slot> slots) {
    nb::object made = checked(PyDict_New());
    for (const Slot& slot : slots) {
        PyObject* value = slot.value != nullptr ? slot.value : Py_None;
        checked_status(PyDict_SetItem(made.ptr(), slot.key.ptr(), value));
    }
    return made.release().ptr();  // kept for the process
}

// A copy of `pattern` with the values that vary set, in the literal's order.
nb::object from_template(PyObject* pattern, std::initializer_list<Slot> values) {
    nb::object record = checked(PyDict_Copy(pattern));
    for (const Slot& slot : values)
        checked_status(PyDict_SetItem(record.ptr(), slot.key.ptr(), slot.value));
    return record;
}

// The user-level order record of a new native order.
nb::object order_record(nb::handle order_id, nb::handle symbol, nb::handle direction,
                        nb::handle offset, nb::handle limit_price, nb::handle volume) {
    static PyObject* const pattern = make_template({{name::order_id, nullptr},
                                                    {name::order_sys_id, Py_None},
                                                    {name::symbol, nullptr},
                                                    {name::direction, nullptr},
                                                    {name::offset, nullptr},
                                                    {name::limit_price, nullptr},
                                                    {name::volume_original, nullptr},
                                                    {name::volume_traded, zero().ptr()},
                                                    {name::volume_left, nullptr},
                                                    {name::status, name::status_pending.ptr()},
                                                    {name::status_msg, name::empty.ptr()},
                                                    {name::cancel_pending, Py_False},
                                                    {name::cancel_error, Py_None},
                                                    {name::insert_time, nullptr}});
    nb::object now = now_ms();
    return from_template(pattern, {{name::order_id, order_id.ptr()},
                                   {name::symbol, symbol.ptr()},
                                   {name::direction, direction.ptr()},
                                   {name::offset, offset.ptr()},
                                   {name::limit_price, limit_price.ptr()},
                                   {name::volume_original, volume.ptr()},
                                   {name::volume_left, volume.ptr()},
                                   {name::insert_time, now.ptr()}});
}

// {"0": None, "3": "TODAY", "4": "HISTORY"}.get(flag, "UNSPECIFIED")
nb::object close_type_of(nb::handle flag) {
    static PyObject* const by_flag = make_template({{name::text_0, Py_None},
                                                    {name::text_3, name::close_today.ptr()},
                                                    {name::text_4, name::close_history.ptr()}});
    return core::get(by_flag, flag, name::unspecified);
}

// The native order of one part, before it is sent. Reads self.front and self.session after the
// close type, as the literal does.
nb::object native_record(nb::handle self, nb::handle order_id, nb::handle symbol,
                         nb::handle direction, nb::handle offset, nb::handle volume,
                         nb::handle flag, nb::handle ref) {
    static PyObject* const pattern = make_template({{name::order_id, nullptr},
                                                    {name::parent, nullptr},
                                                    {name::symbol, nullptr},
                                                    {name::direction, nullptr},
                                                    {name::offset, nullptr},
                                                    {name::exchange_order_id, name::empty.ptr()},
                                                    {name::close_type, nullptr},
                                                    {name::volume_original, nullptr},
                                                    {name::volume_left, nullptr},
                                                    {name::volume_traded, zero().ptr()},
                                                    {name::status, name::status_pending.ptr()},
                                                    {name::is_confirmed, Py_False},
                                                    {name::status_msg, name::empty.ptr()},
                                                    {name::cancel_pending, Py_False},
                                                    {name::cancel_error, Py_None},
                                                    {name::ref, nullptr},
                                                    {name::front, nullptr},
                                                    {name::session, nullptr},
                                                    {name::cancel_request_id, Py_None},
                                                    {name::pending_finish, Py_False},
                                                    {name::expected_traded, zero().ptr()},
                                                    {name::finish_status, Py_None},
                                                    {name::finish_msg, name::empty.ptr()}});
    nb::object close_type = close_type_of(flag);
    nb::object front = attr(self, name::front);
    nb::object session = attr(self, name::session);
    return from_template(pattern, {{name::order_id, order_id.ptr()},
                                   {name::parent, order_id.ptr()},
                                   {name::symbol, symbol.ptr()},
                                   {name::direction, direction.ptr()},
                                   {name::offset, offset.ptr()},
                                   {name::close_type, close_type.ptr()},
                                   {name::volume_original, volume.ptr()},
                                   {name::volume_left, volume.ptr()},
                                   {name::ref, ref.ptr()},
                                   {name::front, front.ptr()},
                                   {name::session, session.ptr()}});
}

// The OrderInsert fields of one native order, in the order the counter documents them.
nb::object insert_fields(nb::handle child, nb::handle exchange, nb::handle code,
                         nb::handle direction, nb::handle flag, nb::handle limit_price) {
    static PyObject* const pattern =
        make_template({{name::instrument_id_field, nullptr},
                       {name::exchange_id_field, nullptr},
                       {name::order_ref_field, nullptr},
                       {name::direction_field, nullptr},
                       {name::comb_offset_flag_field, nullptr},
                       {name::comb_hedge_flag_field, name::text_1.ptr()},
                       {name::order_price_type_field, name::text_2.ptr()},
                       {name::limit_price_field, nullptr},
                       {name::volume_total_original_field, nullptr},
                       {name::time_condition_field, name::text_3.ptr()},
                       {name::volume_condition_field, name::text_1.ptr()},
                       {name::min_volume_field, one().ptr()},
                       {name::contingent_condition_field, name::text_1.ptr()},
                       {name::force_close_reason_field, name::text_0.ptr()},
                       {name::is_auto_suspend_field, zero().ptr()},
                       {name::user_force_close_field, zero().ptr()}});
    nb::object ref = item(child, name::ref);
    nb::handle side = equal(direction, name::buy) ? name::text_0 : name::text_1;
    nb::object volume = item(child, name::volume_original);
    return from_template(pattern, {{name::instrument_id_field, code.ptr()},
                                   {name::exchange_id_field, exchange.ptr()},
                                   {name::order_ref_field, ref.ptr()},
                                   {name::direction_field, side.ptr()},
                                   {name::comb_offset_flag_field, flag.ptr()},
                                   {name::limit_price_field, limit_price.ptr()},
                                   {name::volume_total_original_field, volume.ptr()}});
}

// ─── Checks of insert ──────────────────────────────────────────────────────────────────────────

// self.phase == "ready" and self.session_status == "READY" and not self.reset_pending
bool ready_for_orders(nb::handle self) {
    return !(not_equal(attr(self, name::phase), name::ready) ||
             not_equal(attr(self, name::session_status), name::status_ready) ||
             truthy(attr(self, name::reset_pending)));
}

// type(volume) is int and 1 <= volume <= 2147483647
bool volume_in_range(nb::handle volume) {
    if (!PyLong_CheckExact(volume.ptr())) return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(volume.ptr(), &overflow);
    return overflow == 0 && value >= 1 && value <= 2147483647;
}

// finite(value) is not None. The module's own finite, with the module's own math, takes a float
// as finite when it is finite and below 1e100 in magnitude.
bool is_finite_number(nb::handle value) {
    nb::object check = global(name::finite);
    if (check.ptr() == originals.finite && PyFloat_CheckExact(value.ptr())) {
        nb::object math = global(name::math);
        if (math.ptr() == originals.math &&
            attr(math, name::isfinite).ptr() == originals.isfinite) {
            double number = PyFloat_AS_DOUBLE(value.ptr());
            return std::isfinite(number) && std::fabs(number) < 1e100;
        }
    }
    return !call(check, value).is_none();
}

// The argument checks of insert after check_symbol; false where the plain version raises
// ValueError.
bool arguments_valid(nb::handle direction, nb::handle offset, nb::handle volume,
                     nb::handle limit_price) {
    if (!is_one_of(direction, {name::buy, name::sell}) ||
        !is_one_of(offset, {name::open, name::close_offset}))
        return false;
    if (!volume_in_range(volume)) return false;
    if (is_bool(limit_price) || !is_finite_number(limit_price)) return false;
    return core::compare(limit_price, zero(), Py_GT);
}

// round(value) of a finite float, halfway cases to even, as float.__round__ has it.
double round_half_even(double value) {
    double rounded = std::round(value);
    if (std::fabs(value - rounded) == 0.5) rounded = 2.0 * std::round(value / 2.0);
    return rounded;
}

// math.isclose(steps, round(steps), rel_tol=0, abs_tol=1e-07) for steps = limit_price / tick.
bool on_tick(nb::handle limit_price, nb::handle tick) {
    static PyObject* const tolerance = PyFloat_FromDouble(1e-07);  // kept for the process
    nb::object steps = checked(PyNumber_TrueDivide(limit_price.ptr(), tick.ptr()));
    nb::object isclose = attr(global(name::math), name::isclose);
    if (isclose.ptr() == originals.isclose && PyFloat_CheckExact(steps.ptr()) &&
        std::isfinite(PyFloat_AS_DOUBLE(steps.ptr()))) {
        // What isclose computes with rel_tol 0: equal, or apart by at most abs_tol.
        double value = PyFloat_AS_DOUBLE(steps.ptr());
        double whole = round_half_even(value);
        return value == whole || std::fabs(whole - value) <= 1e-07;
    }
    nb::object whole = call(originals.round, steps);
    static PyObject* const keywords = core::keyword_names({&name::rel_tol, &name::abs_tol});
    return truthy(core::call_kw(isclose, keywords, steps, whole, zero(), tolerance));
}

[[noreturn]] void raise_value_error(const char* message) {
    core::raise(nb::handle(PyExc_ValueError)(nb::str(message)));
}

// The instrument row of a tradable symbol, with the limit price on its tick.
nb::object tradable_instrument(nb::handle self, nb::handle symbol, nb::handle limit_price) {
    nb::object instrument = core::get(attr(self, name::instruments), symbol);
    if (!truthy(instrument) || !truthy(core::get(instrument, name::is_trading_field)))
        raise_value_error("合约不存在、不受支持或当前不可交易");
    nb::object tick = item(instrument, name::price_tick_field);
    if (core::compare(tick, zero(), Py_GT) && !on_tick(limit_price, tick))
        raise_value_error("limit_price 不符合合约最小变动价位");
    return instrument;
}

// ─── Plan and orders ───────────────────────────────────────────────────────────────────────────

// One native order of an insert: its offset and volume.
struct Part {
    nb::object offset;
    nb::object volume;
};

// The parts of an insert; closes on SHFE and INE split by day.
std::vector<Part> plan_parts(nb::handle self, nb::handle symbol, nb::handle direction,
                             nb::handle offset, nb::handle volume) {
    if (equal(offset, name::open)) return {{nb::borrow(name::open), nb::borrow(volume)}};
    nb::handle side = equal(direction, name::sell) ? name::long_side : name::short_side;
    auto [his, today] = core::unpack_pair(free_parts_of(self, symbol, side));
    if (core::compare(volume, core::add(his, today), Py_GT))
        raise_value_error("本地参考可平持仓数量不足");
    if (!is_one_of(item(split(symbol, true), zero()), {name::shfe, name::ine}))
        return {{nb::borrow(name::close_offset), nb::borrow(volume)}};
    nb::object first = core::smaller(his, volume);
    std::vector<Part> plan;
    if (truthy(first)) plan.push_back({nb::borrow(name::close_yesterday_offset), first});
    if (core::compare(volume, first, Py_GT))
        plan.push_back({nb::borrow(name::close_today_offset), core::subtract(volume, first)});
    return plan;
}

// minimum <= volume <= maximum for every part.
void check_part_volumes(nb::handle instrument, const std::vector<Part>& plan) {
    nb::object minimum = item(instrument, name::min_limit_order_volume_field);
    nb::object maximum = item(instrument, name::max_limit_order_volume_field);
    for (const Part& part : plan) {
        if (!core::compare(minimum, part.volume, Py_LE) ||
            !core::compare(part.volume, maximum, Py_LE))
            raise_value_error("单笔委托数量超出合约限价委托范围");
    }
}

// local_order_id(self.front, self.session, ref); the module's own function is
// str(front) + ":" + str(session) + ":" + str(order_ref).
nb::object new_order_id(nb::handle self, nb::handle ref) {
    nb::object make_id = global(name::local_order_id);
    nb::object front = attr(self, name::front);
    nb::object session = attr(self, name::session);
    if (make_id.ptr() != originals.local_order_id) return call(make_id, front, session, ref);
    static PyObject* const colon = core::intern(":").ptr();
    return core::concat(
        {core::str_of(front), colon, core::str_of(session), colon, core::str_of(ref)});
}

// A native order booked before anything is sent, and its CTP offset flag.
struct Created {
    nb::object child;
    nb::object flag;
};

// Books one native order and its user order: the next order reference, the order record, the
// native order record and the reference index.
Created new_order(nb::handle self, nb::handle symbol, nb::handle direction, const Part& part,
                  nb::handle limit_price) {
    set_attr(self, name::order_ref, core::add_in_place(attr(self, name::order_ref), one()));
    nb::object ref = core::str_of(attr(self, name::order_ref));
    nb::object order_id = new_order_id(self, ref);
    nb::object flag = item(global(name::flag_by_offset), part.offset);
    nb::object record =
        order_record(order_id, symbol, direction, part.offset, limit_price, part.volume);
    set_item(attr(self, name::o), order_id, record);
    nb::object child =
        native_record(self, order_id, symbol, direction, part.offset, part.volume, flag, ref);
    set_item(attr(self, name::native_orders), order_id, child);
    nb::object references = attr(self, name::ref_orders);
    nb::object front = attr(self, name::front);
    nb::object session = attr(self, name::session);
    nb::object key = checked(PyTuple_Pack(3, front.ptr(), session.ptr(), ref.ptr()));
    set_item(references, key, order_id);
    return {std::move(child), std::move(flag)};
}

// ─── Sending ───────────────────────────────────────────────────────────────────────────────────

// What sending one native order came to: an error text (empty when sent), or an unknown outcome.
struct Sent {
    nb::object error;
    bool unknown = false;
};

// One OrderInsert request. A refusal by the binding or bad fields give an error text; any other
// exception leaves the outcome unknown and the order in the book.
Sent send_order(nb::handle self, nb::handle child, nb::handle exchange, nb::handle code,
                nb::handle direction, nb::handle flag, nb::handle limit_price) {
    try {
        nb::object next_id = core::add(attr(self, name::request_id), one());
        set_item(child, name::request_id, next_id);
        nb::object fields = insert_fields(child, exchange, code, direction, flag, limit_price);
        nb::object answer = send_request(self, name::order_insert_request, fields);
        auto [request_id, result] = core::unpack_pair(answer);
        set_item(child, name::request_id, request_id);
        bool refused = not_equal(result, zero());
        return {nb::borrow(refused ? name::text_insert_refused : name::empty)};
    } catch (const nb::python_error& error) {
        if (is_bad_request(error)) return {nb::borrow(name::text_insert_bad_request)};
        if (!error.matches(PyExc_Exception)) throw;
    }
    set_item(child, name::status_msg, name::text_insert_unknown);
    return {nb::object(), true};
}

// Takes a native order that was never sent out of the book again.
void unbook(nb::handle self, nb::handle child, nb::handle order_id) {
    core::pop(attr(self, name::native_orders), order_id, nb::none());
    core::pop(attr(self, name::o), order_id, nb::none());
    nb::object references = attr(self, name::ref_orders);
    nb::object front = item(child, name::front);
    nb::object session = item(child, name::session);
    nb::object ref = item(child, name::ref);
    nb::object key = checked(PyTuple_Pack(3, front.ptr(), session.ptr(), ref.ptr()));
    core::pop(references, key, nb::none());
}

// Sends the booked orders in plan order; after the first failure the rest are not sent. One
// result per order.
nb::object send_orders(nb::handle self, nb::handle exchange, nb::handle code, nb::handle direction,
                       nb::handle limit_price, const std::vector<Created>& created) {
    nb::object results = checked(PyList_New(0));
    bool submit_failed = false;
    for (const Created& order : created) {
        nb::object order_id = item(order.child, name::order_id);
        nb::object error = nb::borrow(name::text_not_sent);
        if (!submit_failed) {
            Sent sent =
                send_order(self, order.child, exchange, code, direction, order.flag, limit_price);
            if (sent.unknown) {
                nb::object message = item(order.child, name::status_msg);
                core::append(results, trading_result(name::unknown, order_id, message));
                submit_failed = true;
                continue;
            }
            error = std::move(sent.error);
        }
        if (truthy(error)) {
            unbook(self, order.child, order_id);
            core::append(results, trading_result(name::rejected, order_id, error));
            submit_failed = true;
            continue;
        }
        core::append(results, trading_result(name::submitted, order_id));
    }
    return results;
}

// any(result.status != "REJECTED" for result in results)
bool any_handed_over(nb::handle results) {
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(results.ptr()); ++index) {
        nb::handle result = PyList_GET_ITEM(results.ptr(), index);
        if (not_equal(attr(result, name::status), name::rejected)) return true;
    }
    return false;
}

// The frozen volumes of the symbol and the user orders of the created native orders still in
// the book.
void settle_book(nb::handle self, nb::handle symbol, const std::vector<Created>& created) {
    recompute_frozen_of(self, symbol);
    for (const Created& order : created) {
        nb::object order_id = item(order.child, name::order_id);
        if (core::contains(attr(self, name::native_orders), order_id))
            aggregate_of(self, order.child);
    }
}

// The body of `_insert`: it never suspends.
nb::object insert_orders(nb::handle self, nb::handle symbol, nb::handle direction,
                         nb::handle offset, nb::handle volume, nb::handle limit_price) {
    if (!ready_for_orders(self)) {
        nb::object error = global(name::zq_error);
        core::raise(call(error, nb::str("交易账户尚未 READY，请调用 wait_update 等待同步完成")));
    }
    nb::object instrument = tradable_instrument(self, symbol, limit_price);
    std::vector<Part> plan = plan_parts(self, symbol, direction, offset, volume);
    check_part_volumes(instrument, plan);
    free_parts_of(self, symbol, name::long_side);
    free_parts_of(self, symbol, name::short_side);
    auto [exchange, code] = core::unpack_pair(split(symbol, true));
    std::vector<Created> created;
    created.reserve(plan.size());
    for (const Part& part : plan)
        created.push_back(new_order(self, symbol, direction, part, limit_price));
    nb::object results = send_orders(self, exchange, code, direction, limit_price, created);
    bool handed_over = any_handed_over(results);
    try {
        settle_book(self, symbol, created);
    } catch (const nb::python_error& error) {
        // Orders at the counter are never reported as unsent: the next order return meets the
        // same contradiction and the main loop rebuilds the session.
        if (!is_parameter_error(error) || !handed_over) throw;
    }
    if (handed_over) {
        schedule_account_of(self);
        touch_of(self);
    }
    return results;
}

// ─── Cancel ────────────────────────────────────────────────────────────────────────────────────

// The order values cancel looks at: the private record, else the committed view's values.
nb::object order_values(nb::handle self, nb::handle order_id) {
    nb::object values = core::get(attr(self, name::o), order_id);
    if (values.is_none() && core::contains(attr(self, name::orders), order_id))
        values = attr(item(attr(self, name::orders), order_id), name::_values);
    return values;
}

// The native order cannot be named to the exchange yet: unconfirmed or without an OrderSysID.
bool unconfirmed(nb::handle child) {
    return !truthy(item(child, name::is_confirmed)) ||
           !truthy(core::stripped(item(child, name::exchange_order_id)));
}

// The OrderAction fields deleting the native order: instrument and exchange of its symbol split
// at every ".", its OrderSysID as stored.
nb::object cancel_fields(nb::handle child) {
    nb::object parts = split(item(child, name::symbol), false);
    nb::object fields = checked(PyDict_New());
    set_item(fields, name::instrument_id_field, element(parts, 1));
    set_item(fields, name::exchange_id_field, element(parts, 0));
    set_item(fields, name::order_sys_id_field, item(child, name::exchange_order_id));
    set_item(fields, name::action_flag_field, name::text_0);
    return fields;
}

}  // namespace

Task<nb::object> insert(nb::object self, nb::object symbol, nb::object direction, nb::object offset,
                        nb::object volume, nb::object limit_price) {
    if (!ready_for_orders(self))
        co_return one_result(name::rejected, nb::none(), name::text_insert_not_ready);
    bool rejected = false;
    nb::object results;
    try {
        call(global(name::check_symbol), symbol);
        if (!arguments_valid(direction, offset, volume, limit_price)) {
            rejected = true;
        } else {
            // The class's own _insert runs here at once, as awaiting it would.
            if (resolves_to_own(self, name::_insert, own.insert)) {
                results = insert_orders(self, symbol, direction, offset, volume, limit_price);
            } else {
                results = co_await call_method(self, name::_insert, symbol, direction, offset,
                                               volume, limit_price);
            }
        }
    } catch (const nb::python_error& error) {
        if (!is_parameter_error(error)) throw;
        rejected = true;
    }
    if (rejected) co_return one_result(name::rejected, nb::none(), name::text_insert_invalid);
    co_return results;
}

Task<nb::object> insert_worker(nb::object self, nb::object symbol, nb::object direction,
                               nb::object offset, nb::object volume, nb::object limit_price) {
    co_return insert_orders(self, symbol, direction, offset, volume, limit_price);
}

nb::object cancel(nb::handle self, nb::handle order_id) {
    if (!is_str(order_id)) return no_results();
    nb::object values = order_values(self, order_id);
    if (!truthy(values) || is_finished(item(values, name::status))) return no_results();
    if (not_equal(attr(self, name::session_status), name::status_ready) ||
        truthy(attr(self, name::reset_pending)))
        return one_result(name::rejected, order_id, name::text_cancel_not_ready);
    nb::object child = core::get(attr(self, name::native_orders), order_id);
    if (child.is_none()) return one_result(name::rejected, order_id, name::text_unconfirmed);
    if (truthy(item(child, name::pending_finish)) || truthy(item(child, name::cancel_pending)))
        return no_results();
    if (unconfirmed(child)) return one_result(name::rejected, order_id, name::text_unconfirmed);
    nb::object fields = cancel_fields(child);
    nb::object request_id, code, outcome;
    try {
        auto answer = core::unpack_pair(send_request(self, name::order_action_request, fields));
        request_id = std::move(answer.first);
        code = std::move(answer.second);
    } catch (const nb::python_error& error) {
        if (is_bad_request(error))
            return one_result(name::rejected, order_id, name::text_cancel_bad_request);
        if (!error.matches(PyExc_Exception)) throw;
        outcome = trading_result(name::unknown, order_id, name::text_cancel_unknown);
        request_id = attr(self, name::request_id);
    }
    if (!outcome.is_valid()) {
        if (not_equal(code, zero()))
            return one_result(name::rejected, order_id, name::text_cancel_refused);
        outcome = trading_result(name::submitted, order_id);
    }
    set_item(child, name::cancel_request_id, request_id);
    set_item(child, name::cancel_pending, Py_True);
    set_item(child, name::cancel_error, Py_None);
    aggregate_of(self, child);
    touch_of(self);
    return list_of(outcome);
}

void remember_order_entry(nb::handle module, nb::handle cls) {
    auto keep = [](nb::object value) { return value.release().ptr(); };
    nb::object result_class = module.attr("TradingResult");
    PyObject* type_dict = reinterpret_cast<PyTypeObject*>(result_class.ptr())->tp_dict;
    originals.result_class = keep(result_class);
    originals.result_init = PyDict_GetItemWithError(type_dict, name::dunder_init.ptr());
    if (originals.result_init == nullptr) throw nb::python_error();
    Py_INCREF(originals.result_init);
    originals.local_order_id = keep(module.attr("local_order_id"));
    originals.finite = keep(module.attr("finite"));
    originals.math = keep(module.attr("math"));
    originals.isfinite = keep(module.attr("math").attr("isfinite"));
    originals.isclose = keep(module.attr("math").attr("isclose"));
    originals.round = keep(nb::module_::import_("builtins").attr("round"));
    nb::object methods = cls.attr("__dict__");
    own.insert = keep(methods["_insert"]);
    own.request = keep(methods["_request"]);
    own.free_parts = keep(methods["_free_parts"]);
    own.recompute_frozen = keep(methods["_recompute_frozen"]);
    own.aggregate = keep(methods["_aggregate"]);
    own.schedule_account = keep(methods["_schedule_account"]);
    own.touch = keep(methods["_touch"]);
}

}  // namespace zqkit::trading
