// Awaiting Python objects and child Tasks, return values, methods.
#include "bridge_check/checks.hpp"
#include "core/python_class.hpp"

namespace zqkit::bridge_check {

namespace {

Task<nb::object> await_value(nb::object awaitable) {
    nb::object value = co_await std::move(awaitable);
    co_return value;
}

Task<nb::object> return_value(nb::object value) {
    co_return value;
}

Task<> return_none() {
    co_return;
}

// Awaits a temporary: the awaiter takes it over, the frame keeps no reference.
Task<nb::object> sleep_then(double delay, nb::object value) {
    co_await asyncio().attr("sleep")(delay);
    co_return value;
}

Task<long> immediate(long number) {
    co_return number;
}

// `count` children that finish without suspending, one after the other.
Task<nb::object> sum_children(long count) {
    long total = 0;
    for (long i = 0; i < count; ++i) total += co_await immediate(i);
    co_return nb::int_(total);
}

// A chain of `depth` nested children; the innermost one awaits Python.
Task<nb::object> descend(long depth, nb::object awaitable) {
    if (depth == 0) {
        nb::object value = co_await std::move(awaitable);
        co_return value;
    }
    nb::object value = co_await descend(depth - 1, awaitable);
    co_return value;
}

// Awaits each awaitable in turn, returning their results.
Task<nb::object> await_all(nb::list awaitables) {
    nb::list results;
    for (nb::handle awaitable : awaitables) {
        nb::object value = co_await awaitable;  // borrowed: the list keeps it
        results.append(value);
    }
    co_return results;
}

struct Counter {
    long value = 0;
};

// A method: `self` by value, cast after the suspension.
Task<nb::object> counter_add_later(nb::object self, long amount) {
    nb::object sleeping = asyncio().attr("sleep")(0);
    co_await std::move(sleeping);
    Counter& counter = nb::cast<Counter&>(self);
    counter.value += amount;
    co_return nb::int_(counter.value);
}

// A method for a class built in Python: receives the instance it is looked up on.
Task<nb::object> pair_with_self(nb::object self, nb::object value) {
    co_await asyncio().attr("sleep")(0);
    co_return nb::make_tuple(self, value);
}

// A coroutine method of a real Python class built here, as the extension modules build theirs:
// the state lives in the instance's attributes and is read through `self` after the await.
Task<nb::object> tally_add_later(nb::object self, nb::object amount) {
    co_await asyncio().attr("sleep")(0);
    nb::object total = self.attr("total") + amount;
    nb::setattr(self, "total", total);
    co_return total;
}

void tally_init(nb::handle self) {
    nb::setattr(self, "total", nb::int_(0));
}

void register_tally(nb::module_& m) {
    nb::object cls = core::make_class(m, "Tally", nb::tuple(), nb::dict());
    core::add_method(cls, "__init__", &tally_init);
    core::add_coroutine(cls, "add_later", &tally_add_later, nb::arg("amount"));
    m.attr("Tally") = cls;
}

}  // namespace

void register_awaiting(nb::module_& m) {
    core::def_coroutine(m, "await_value", &await_value, nb::arg("awaitable"));
    core::def_coroutine(m, "return_value", &return_value, nb::arg("value").none());
    core::def_coroutine(m, "return_none", &return_none);
    core::def_coroutine(m, "sleep_then", &sleep_then, nb::arg("delay"), nb::arg("value").none());
    core::def_coroutine(m, "sum_children", &sum_children, nb::arg("count"));
    core::def_coroutine(m, "descend", &descend, nb::arg("depth"), nb::arg("awaitable"));
    core::def_coroutine(m, "await_all", &await_all, nb::arg("awaitables"));
    nb::class_<Counter> counter(m, "Counter");
    counter.def(nb::init<>()).def_rw("value", &Counter::value);
    core::def_coroutine(counter, "add_later", &counter_add_later, nb::arg("amount"));
    m.attr("named_coroutine") =
        core::make_coroutine_function("Outer.named", &return_value, nb::arg("value").none());
    m.attr("method_coroutine") = core::make_coroutine_function(
        "Holder.method", &pair_with_self, nb::is_method(), nb::arg("value").none());
    register_tally(m);
}

}  // namespace zqkit::bridge_check
