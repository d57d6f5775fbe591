// Plain Python classes assembled at import, with C++ functions as their methods.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

namespace zqkit::transport {

namespace nb = nanobind;

// type(name, (object,), {"__module__": "zqkit.transport", "__qualname__": name, "__doc__": doc}).
nb::object make_class(const char* name, const char* doc);

// Sets `cls.<name>` to `function` bound as an instance method, in call order so that the
// class dict keeps the source order of the methods.
template <typename F, typename... Extra>
void add_method(nb::handle cls, const char* name, F&& function, const Extra&... extra) {
    nb::object method = nb::cpp_function(std::forward<F>(function), nb::scope(cls), nb::name(name),
                                         nb::is_method(), extra...);
    nb::setattr(cls, name, method);
}

}  // namespace zqkit::transport
