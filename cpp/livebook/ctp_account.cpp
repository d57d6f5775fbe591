// CtpAccount: the user's CTP direct-connection credentials, checked on construction.
#include "core/py_ops.hpp"
#include "core/python_class.hpp"
#include "livebook/bindings.hpp"

#include <string>

namespace zqkit::livebook {

namespace {

// Declaration order; the first field that fails decides the message.
constexpr const char* kFields[] = {"broker_id", "user_id", "password",
                                   "front_url", "app_id",  "auth_code"};

constexpr const char* kDoc =
    "CTP 直连账户配置，交易凭据不会发送至行情服务。\n"
    "\n"
    "    Args:\n"
    "        broker_id: 期货公司代码。\n"
    "        user_id: 资金账号。\n"
    "        password: 交易密码。\n"
    "        front_url: 交易前置地址，格式为 tcp://地址:端口。\n"
    "        app_id: 期货公司提供的客户端标识。\n"
    "        auth_code: 期货公司提供的客户端授权码。\n"
    "    ";

// isinstance(value, str) and value and "\0" not in value
bool is_usable_text(nb::handle value) {
    if (!PyUnicode_Check(value.ptr()) || !core::truthy(value)) return false;
    int has_nul = PySequence_Contains(value.ptr(), nb::str("\0", 1).ptr());
    if (has_nul < 0) throw nb::python_error();
    return has_nul == 0;
}

void check_fields(nb::handle self) {
    for (const char* name : kFields) {
        if (!is_usable_text(nb::getattr(self, name))) {
            throw nb::value_error(
                (std::string(name) + " 必须是非空字符串，且不能包含 NUL 字符").c_str());
        }
    }
    nb::object front_url = nb::getattr(self, "front_url");
    if (!core::truthy(front_url.attr("startswith")("tcp://"))) {
        throw nb::value_error("front_url 必须以 tcp:// 开头");
    }
}

}  // namespace

void bind_ctp_account(nb::module_& m) {
    nb::handle str_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    nb::dict annotations;
    for (const char* name : kFields) annotations[name] = str_type;

    // The password and the authorisation code stay out of the generated repr.
    nb::object field = m.attr("field");
    nb::dict ns;
    ns["__doc__"] = nb::str(kDoc);
    ns["__annotations__"] = annotations;
    ns["password"] = field(nb::arg("repr") = false);
    ns["auth_code"] = field(nb::arg("repr") = false);
    nb::object cls = core::make_class(m, "CtpAccount", nb::tuple(), ns);
    core::add_method(cls, "__post_init__", &check_fields);
    m.attr("CtpAccount") = frozen_dataclass(m, cls);
}

}  // namespace zqkit::livebook
