#include "events.hpp"

#include <nanobind/stl/string.h>

namespace zqkit::ctp {

namespace nb = nanobind;

namespace {

nb::object value_to_python(const Value& value) {
    if (const auto* text = std::get_if<std::string>(&value))
        return nb::str(text->data(), text->size());
    if (const auto* whole = std::get_if<std::int64_t>(&value)) return nb::int_(*whole);
    return nb::float_(std::get<double>(value));
}

nb::object fields_to_python(const std::optional<Fields>& fields) {
    if (!fields) return nb::none();
    nb::dict result;
    for (const auto& [name, value] : fields->items()) {
        result[nb::str(name.data(), name.size())] = value_to_python(value);
    }
    return result;
}

nb::object error_to_python(const std::optional<ErrorInfo>& error) {
    if (!error) return nb::none();
    nb::dict result;
    result["ErrorID"] = nb::int_(error->id);
    result["ErrorMsg"] = nb::str(error->message.data(), error->message.size());
    return result;
}

}  // namespace

nb::dict event_to_dict(const Event& event) {
    nb::dict result;
    result["name"] = nb::str(event.name.data(), event.name.size());
    result["data"] = fields_to_python(event.data);
    result["request_id"] = nb::int_(event.request_id);
    result["last"] = nb::bool_(event.last);
    result["error"] = error_to_python(event.error);
    return result;
}

nb::list events_to_list(const std::vector<Event>& events) {
    nb::list result;
    for (const auto& event : events) result.append(event_to_dict(event));
    return result;
}

}  // namespace zqkit::ctp
