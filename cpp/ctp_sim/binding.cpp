#include "binding.hpp"

#include <sys/stat.h>

#include <nanobind/stl/string.h>

#include "events.hpp"
#include "library_backend.hpp"
#include "python_text.hpp"
#include "request_fields.hpp"

namespace zqkit::ctp {

namespace nb = nanobind;

namespace {

std::string front_address(nb::handle front) {
    if (!PyUnicode_Check(front.ptr())) throw nb::type_error("front 必须是 str");
    std::string address = utf8_text(front, "front");
    if (address.find('\0') != std::string::npos) throw nb::value_error("front 不能包含 NUL 字符");
    if (address.rfind("tcp://", 0) != 0 || address.size() == 6) {
        throw nb::value_error("front 必须形如 tcp://地址:端口");
    }
    return address;
}

// The flow path arrives encoded (bytes), names an existing directory and ends with a
// separator, because the library appends its file names to it as they are.
std::string flow_directory(nb::handle flow_path) {
    if (!PyBytes_Check(flow_path.ptr())) {
        throw nb::type_error("flow_path 必须是 bytes（按文件系统编码的目录路径）");
    }
    std::string path(PyBytes_AS_STRING(flow_path.ptr()),
                     static_cast<size_t>(PyBytes_GET_SIZE(flow_path.ptr())));
    if (path.empty() || path.find('\0') != std::string::npos) {
        throw nb::value_error("flow_path 不能为空，也不能包含 NUL 字节");
    }
    if (path.back() != '/') throw nb::value_error("flow_path 必须以路径分隔符结尾");
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        // The path need not be UTF-8; show undecodable bytes escaped.
        nb::object shown = nb::steal(PyUnicode_DecodeUTF8(
            path.data(), static_cast<Py_ssize_t>(path.size()), "backslashreplace"));
        if (!shown.is_valid()) throw nb::python_error();
        nb::object message = nb::str("flow_path 不是已存在的目录：") + shown;
        PyErr_SetObject(PyExc_ValueError, message.ptr());
        throw nb::python_error();
    }
    return path;
}

[[noreturn]] void fail_handle_type() {
    throw nb::type_error("handle 必须是 zqkit._ctp.create 返回的句柄");
}

// The library backend owning a handle that is not the counter's; TypeError for any other object.
nb::object foreign_backend(nb::handle handle) {
    nb::object backend = library_backend_of(handle);
    if (!backend.is_valid()) fail_handle_type();
    return backend;
}

Connection& open_connection(nb::handle handle) {
    if (!nb::isinstance<Handle>(handle)) fail_handle_type();
    Handle& native = nb::cast<Handle&>(handle);
    if (!native.connection || native.connection->closed()) {
        throw nb::value_error("CTP 连接句柄已关闭");
    }
    return *native.connection;
}

int request_number(nb::handle request_id) {
    if (!PyLong_Check(request_id.ptr()) || PyBool_Check(request_id.ptr())) {
        throw nb::type_error("request_id 必须是 int");
    }
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(request_id.ptr(), &overflow);
    if (overflow != 0 || number < INT32_MIN || number > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "request_id 超出 32 位整数范围");
        throw nb::python_error();
    }
    return static_cast<int>(number);
}

// Both backends check their arguments alike, so a request is refused the same way whichever
// front it is for.
std::string checked_method(nb::handle method) {
    if (!PyUnicode_Check(method.ptr())) throw nb::type_error("method 必须是 str");
    std::string name = utf8_text(method, "method");
    if (!is_known_method(name)) {
        throw nb::value_error(("未知的 CTP 请求：" + name).c_str());
    }
    return name;
}

// A front configured in the counter is simulated; every other goes to the trader library.
nb::object create(nb::handle front, nb::handle flow_path) {
    std::string address = front_address(front);
    std::string directory = flow_directory(flow_path);
    if (!is_simulated(address)) return create_library_connection(front, flow_path);
    auto handle = std::make_unique<Handle>();
    handle->connection = Connection::open(std::move(address), std::move(directory));
    return nb::cast(handle.release(), nb::rv_policy::take_ownership);
}

int library_request(nb::object backend, nb::handle handle, nb::handle method, nb::handle fields,
                    nb::handle request_id) {
    backend.attr("check_open")(handle);
    checked_method(method);
    convert_request_fields(fields);
    request_number(request_id);
    return nb::cast<int>(backend.attr("request")(handle, method, fields, request_id));
}

int request(nb::handle handle, nb::handle method, nb::handle fields, nb::handle request_id) {
    if (!nb::isinstance<Handle>(handle)) {
        return library_request(foreign_backend(handle), handle, method, fields, request_id);
    }
    Connection& connection = open_connection(handle);
    std::string name = checked_method(method);
    Fields values = convert_request_fields(fields);
    int number = request_number(request_id);
    try {
        return connection.submit(std::move(name), std::move(values), number);
    } catch (const ClosedConnection& error) {
        throw nb::value_error(error.what());
    }
}

nb::object poll(nb::handle handle) {
    if (!nb::isinstance<Handle>(handle)) {
        return foreign_backend(handle).attr("poll")(handle);
    }
    Connection& connection = open_connection(handle);
    std::vector<Event> events;
    try {
        events = connection.take_events();
    } catch (const ClosedConnection& error) {
        throw nb::value_error(error.what());
    }
    return events_to_list(events);
}

void close(nb::handle handle) {
    if (!nb::isinstance<Handle>(handle)) {
        foreign_backend(handle).attr("close")(handle);
        return;
    }
    Connection& connection = open_connection(handle);
    nb::gil_scoped_release unlocked;
    connection.close();
}

std::string handle_repr(const Handle& handle) {
    const Connection& connection = *handle.connection;
    bool closed = handle.connection->closed();
    return "<zqkit._ctp.Handle " + connection.front() + (closed ? " closed>" : " open>");
}

}  // namespace

void register_binding(nb::module_& module) {
    nb::class_<Handle>(module, "Handle",
                       "一个 CTP 前置连接的不透明句柄，由 create 返回，close 之后不可再用。")
        .def("__repr__", &handle_repr);
    // Arguments accept any object (None included) so that a wrong one gets our own message.
    module.def("create", &create, nb::arg("front").none(), nb::arg("flow_path").none(),
               "打开到前置 front 的连接并立即返回句柄；连接结果稍后以 FrontConnected 事件送达。"
               "模拟柜台中配置过的前置走模拟柜台，其他前置走 CTP 交易库。");
    module.def("request", &request, nb::arg("handle").none(), nb::arg("method").none(),
               nb::arg("fields").none(), nb::arg("request_id").none(),
               "提交一个请求；0 表示已交给前置，-1 未连接，-2/-3 超出在途或每秒请求上限。");
    module.def("poll", &poll, nb::arg("handle").none(),
               "取出上次 poll 以来到达的全部回调事件，按到达顺序。");
    module.def("close", &close, nb::arg("handle").none(), "断开连接，停止其工作线程并释放资源。");
}

}  // namespace zqkit::ctp
