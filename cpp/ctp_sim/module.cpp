#include <nanobind/nanobind.h>

#include "binding.hpp"
#include "control.hpp"

NB_MODULE(_ctp, m) {
    m.doc() = "模拟 CTP 柜台：每个连接一个工作线程，账户、委托、成交与持仓按前置地址保存在进程内。";
    zqkit::ctp::register_binding(m);
    zqkit::ctp::register_control(m);
}
