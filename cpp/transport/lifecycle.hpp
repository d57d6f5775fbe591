// Construction and the plain (non-coroutine) methods of `Transport` that steer its lifecycle.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::transport {

namespace nb = nanobind;

// Transport.__init__(url, timeout, restore, token, auth_url)
void transport_init(nb::handle self, nb::handle url, nb::handle timeout, nb::handle restore,
                    nb::handle token, nb::handle auth_url);

// Transport._report_ready(): announces a connection once its snapshots are in and every
// subscribed channel is acknowledged.
void report_ready(nb::handle self);

// Transport.start(): starts `run` in a task unless it runs already or the stream is fatal.
void start(nb::handle self);

// Transport.raise_error(): raises the stored fatal error, if any.
void raise_error(nb::handle self);

}  // namespace zqkit::transport
