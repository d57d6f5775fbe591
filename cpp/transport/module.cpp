#include <nanobind/nanobind.h>

#include "core/coro.hpp"

#include "transport/errors.hpp"
#include "transport/module_state.hpp"
#include "transport/names.hpp"
#include "transport/pending_market.hpp"
#include "transport/signing.hpp"
#include "transport/transport_class.hpp"

namespace nb = nanobind;
using namespace zqkit::transport;

namespace {

// The names the module binds at import, in order; its functions read them back at call time.
void bind_imports(nb::module_& m) {
    m.attr("asyncio") = nb::module_::import_("asyncio");
    nb::module_ collections = nb::module_::import_("collections");
    m.attr("OrderedDict") = collections.attr("OrderedDict");
    m.attr("deque") = collections.attr("deque");
    for (const char* name : {"json", "hashlib", "hmac", "time", "aiohttp"})
        m.attr(name) = nb::module_::import_(name);
    m.attr("URL") = nb::module_::import_("yarl").attr("URL");
    nb::module_ data = nb::module_::import_("zqkit.data");
    m.attr("ZqError") = data.attr("ZqError");
    m.attr("decode") = data.attr("decode");
    m.attr("Recovery") = nb::module_::import_("zqkit.errors").attr("Recovery");
}

}  // namespace

NB_MODULE(transport, m) {
    m.doc() = "Async I/O. This module never mutates user-visible market objects.";
    zqkit::core::init_coroutines(m);
    set_module_dict(m.attr("__dict__"));
    bind_imports(m);
    remember_standard_functions();
    bind_signing(m);
    bind_retry_error(m);
    bind_pending_market(m);
    bind_transport(m);
}
