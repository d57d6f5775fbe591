// The coroutine methods of `Transport`, written on the bridge in core/coro.hpp.
#pragma once

#include <nanobind/nanobind.h>

#include "core/coro.hpp"

namespace zqkit::transport {

namespace nb = nanobind;
using core::Task;

// HTTP session and account verification.
Task<nb::object> client(nb::object self);
Task<> verify_account(nb::object self);

// Signed market queries.
Task<nb::object> get(nb::object self, nb::object path, nb::object params);

// Subscriptions.
Task<> wait_ack(nb::object self, nb::object channel);
Task<> send_subscriptions(nb::object self);

// The stream and its connection loop.
Task<> receive(nb::object self);
Task<> guard_ready(nb::object self);
Task<> run(nb::object self);
Task<> close(nb::object self);

// Recovery snapshots and batching.
Task<> bootstrap(nb::object self);
Task<nb::object> next_batch(nb::object self);

}  // namespace zqkit::transport
