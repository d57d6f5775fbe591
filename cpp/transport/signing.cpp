#include "transport/signing.hpp"

#include <string_view>

#include "transport/module_state.hpp"

namespace zqkit::transport {

nb::bytes signing_secret() {
    constexpr std::string_view secret = ZQKIT_SIGNING_SECRET;
    static_assert(secret.size() == 64, "the signing key has 64 hexadecimal characters");
    return nb::bytes(secret.data(), secret.size());
}

nb::dict signature_headers(nb::handle method, nb::handle url) {
    nb::object timestamp = nb::str(nb::int_(global("time").attr("time")()));
    nb::list lines;
    lines.append(timestamp);
    lines.append(method.attr("upper")());
    lines.append(url.attr("raw_path"));
    lines.append(url.attr("raw_query_string"));
    nb::object message = nb::str("\n").attr("join")(lines);
    nb::object digest = global("hmac").attr("new")(
        global("_SIGNING_SECRET"), message.attr("encode")(), global("hashlib").attr("sha256"));
    nb::dict headers;
    headers["X-ZQ-Timestamp"] = timestamp;
    headers["X-ZQ-Signature"] = digest.attr("hexdigest")();
    return headers;
}

void bind_signing(nb::module_& m) {
    m.attr("_SIGNING_SECRET") = signing_secret();
    m.def("_signature_headers", &signature_headers, nb::arg("method").none(),
          nb::arg("url").none());
}

}  // namespace zqkit::transport
