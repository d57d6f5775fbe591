// The four functions the trading session calls (create, request, poll, close) and the
// opaque handle they pass around.
#pragma once

#include <memory>

#include <nanobind/nanobind.h>

#include "connection.hpp"

namespace zqkit::ctp {

struct Handle {
    std::shared_ptr<Connection> connection;
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    // A handle dropped without close() still stops its worker. Joining with the GIL held is
    // safe: the worker never takes the GIL (see world.hpp).
    ~Handle() {
        if (connection) connection->close();
    }
};

void register_binding(nanobind::module_& module);

}  // namespace zqkit::ctp
