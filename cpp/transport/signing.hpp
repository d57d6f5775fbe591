// Request signing: the HMAC key and the signature headers of every market request.
#pragma once

#include <nanobind/nanobind.h>

namespace zqkit::transport {

namespace nb = nanobind;

// `_SIGNING_SECRET`: the 64 ASCII hex bytes are the key itself.
nb::bytes signing_secret();

// `_signature_headers(method, url)`.
nb::dict signature_headers(nb::handle method, nb::handle url);

void bind_signing(nb::module_& m);

}  // namespace zqkit::transport
