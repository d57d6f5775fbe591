// `Trading`: a Python class built at import with the methods of session.hpp, in source order.
#include "core/coro.hpp"
#include "core/python_class.hpp"
#include "trading/bindings.hpp"
#include "trading/module_state.hpp"
#include "trading/session.hpp"

namespace zqkit::trading {

namespace {

constexpr const char* trading_doc =
    "Private protocol state is committed to user objects only by wait_update.";

// A plain function stored in the class as staticmethod(function).
template <typename F, typename... Extra>
void add_static_method(nb::handle cls, const char* name, F&& body, const Extra&... extra) {
    nb::object function = nb::cpp_function(std::forward<F>(body), nb::name(name), extra...);
    nb::setattr(cls, name, nb::module_::import_("builtins").attr("staticmethod")(function));
}

}  // namespace

void bind_trading(nb::module_& m) {
    nb::dict ns;
    ns["__doc__"] = trading_doc;
    nb::object cls = core::make_class(m, "Trading", nb::tuple(), ns);
    // In the order of the class body; `insert` … `position_view` come with order entry.
    core::add_method(cls, "__init__", &trading_init, nb::arg("config").none(),
                     nb::arg("timeout").none(), nb::arg("objects").none(), nb::kw_only(),
                     nb::arg("native_factory").none() = m.attr("Native"));
    core::add_method(cls, "start", &start);
    core::add_method(cls, "_open_native", &open_native);
    core::add_method(cls, "_close_native", &close_native);
    core::add_method(cls, "_clear_cache", &clear_cache, nb::arg("status").none());
    core::add_method(cls, "_touch", &touch);
    core::add_method(cls, "_status", &set_status, nb::arg("value").none());
    core::add_method(cls, "_request", &request, nb::arg("method").none(),
                     nb::arg("fields").none() = nb::none());
    core::add_method(cls, "_phase_request", &phase_request, nb::arg("phase").none(),
                     nb::arg("method").none(), nb::arg("data").none() = nb::none());
    core::add_method(cls, "_schedule_account", &schedule_account);
    core::add_coroutine(cls, "run", &run);
    core::add_method(cls, "event", &event, nb::arg("event").none());
    core::add_method(cls, "_query_error", &query_error, nb::arg("code").none(),
                     nb::arg("message").none());
    core::add_method(cls, "tick", &tick, nb::arg("now").none());
    core::add_method(cls, "_complete", &complete, nb::arg("query").none());
    core::add_method(cls, "_complete_account", &complete_account, nb::arg("rows").none(),
                     nb::arg("now_ms").none());
    core::add_method(cls, "_positions", &positions, nb::arg("rows").none(),
                     nb::arg("updated").none());
    core::add_method(cls, "_by_ref", &by_ref, nb::arg("ref").none());
    add_static_method(cls, "_is_spec_order", &is_spec_order, nb::arg("row").none());
    add_static_method(cls, "_is_spec_trade", &is_spec_trade, nb::arg("row").none());
    core::add_method(cls, "_child", &child, nb::arg("row").none());
    core::add_method(cls, "_order", &order, nb::arg("row").none(),
                     nb::arg("query_revision").none() = nb::none());
    core::add_method(cls, "_trade_id", &trade_id, nb::arg("row").none());
    core::add_method(cls, "_trade_key", &trade_key, nb::arg("row").none());
    core::add_method(cls, "_trade", &trade, nb::arg("row").none(), nb::kw_only(),
                     nb::arg("update_position").none());
    core::add_method(cls, "_apply_position_trade", &apply_position_trade, nb::arg("row").none());
    core::add_method(cls, "_free_parts", &free_parts, nb::arg("symbol").none(),
                     nb::arg("side").none());
    core::add_method(cls, "_recompute_frozen", &recompute_frozen,
                     nb::arg("symbol").none() = nb::none());
    core::add_method(cls, "_aggregate", &aggregate, nb::arg("child").none() = nb::none());
    // ---- order entry ----
    core::add_coroutine(cls, "insert", &insert, nb::arg("symbol").none(),
                        nb::arg("direction").none(), nb::arg("offset").none(),
                        nb::arg("volume").none(), nb::arg("limit_price").none());
    core::add_coroutine(cls, "_insert", &insert_worker, nb::arg("symbol").none(),
                        nb::arg("direction").none(), nb::arg("offset").none(),
                        nb::arg("volume").none(), nb::arg("limit_price").none());
    core::add_method(cls, "cancel", &cancel, nb::arg("order_id").none());
    remember_order_entry(m, cls);
    // ---- end of order entry ----
    core::add_coroutine(cls, "close", &close);
    m.attr("Trading") = cls;
}

}  // namespace zqkit::trading
