// async with, async for, asyncio.timeout and aiohttp round trips.
#include "bridge_check/checks.hpp"

namespace zqkit::bridge_check {

namespace {

// Enters `manager`, raises `failure` inside unless it is None; returns what __aenter__ gave.
Task<nb::object> use_async_with(nb::object manager, nb::object failure) {
    nb::object entered;
    co_await core::async_with(manager, [&](nb::object value) -> Task<> {
        entered = value;
        if (!failure.is_none()) core::raise(failure);
        co_return;
    });
    co_return entered;
}

// Up to `limit` items (all when negative).
Task<nb::object> collect(nb::object iterable, long limit) {
    nb::list items;
    core::AsyncIterator iterator(iterable);
    while (std::optional<nb::object> item = co_await iterator.next()) {
        items.append(*item);
        if (limit >= 0 && static_cast<long>(nb::len(items)) >= limit) break;
    }
    co_return items;
}

Task<nb::object> with_timeout(double delay, nb::object awaitable) {
    nb::object manager = asyncio().attr("timeout")(delay);
    nb::object result = nb::none();
    co_await core::async_with(
        manager, [&](nb::object) -> Task<> { result = co_await std::move(awaitable); });
    co_return result;
}

Task<nb::object> http_text(nb::object session, nb::object url) {
    nb::object request = session.attr("get")(url);
    nb::object text;
    co_await core::async_with(request, [&](nb::object response) -> Task<> {
        response.attr("raise_for_status")();
        text = co_await response.attr("text")();
    });
    co_return text;
}

// Sends each message over a WebSocket and collects as many text replies.
Task<nb::object> ws_echo(nb::object session, nb::object url, nb::list messages) {
    nb::list replies;
    nb::object connecting = session.attr("ws_connect")(url);
    co_await core::async_with(connecting, [&](nb::object ws) -> Task<> {
        for (nb::handle message : messages) {
            nb::object sending = ws.attr("send_str")(message);
            co_await std::move(sending);
        }
        core::AsyncIterator incoming(ws);
        while (std::optional<nb::object> reply = co_await incoming.next()) {
            replies.append(reply->attr("data"));
            if (nb::len(replies) == nb::len(messages)) break;
        }
    });
    co_return replies;
}

}  // namespace

void register_contexts(nb::module_& m) {
    core::def_coroutine(m, "use_async_with", &use_async_with, nb::arg("manager"),
                        nb::arg("failure").none() = nb::none());
    core::def_coroutine(m, "collect", &collect, nb::arg("iterable"), nb::arg("limit") = -1);
    core::def_coroutine(m, "with_timeout", &with_timeout, nb::arg("delay"), nb::arg("awaitable"));
    core::def_coroutine(m, "http_text", &http_text, nb::arg("session"), nb::arg("url"));
    core::def_coroutine(m, "ws_echo", &ws_echo, nb::arg("session"), nb::arg("url"),
                        nb::arg("messages"));
}

}  // namespace zqkit::bridge_check
