// Small helpers shared by the files that implement Counter.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "connection.hpp"
#include "values.hpp"

namespace zqkit::ctp {

inline std::string trimmed(const std::string& text) {
    auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

inline char first_char(const std::string& text, char fallback) {
    return text.empty() ? fallback : text[0];
}

inline Event make_event(std::string name, std::optional<Fields> data, int request_id = 0,
                        bool last = true, std::optional<ErrorInfo> error = std::nullopt) {
    Event event;
    event.name = std::move(name);
    event.data = std::move(data);
    event.request_id = request_id;
    event.last = last;
    event.error = std::move(error);
    return event;
}

inline void reject(Connection& connection, const char* method, const Fields& fields, int request_id,
                   const ErrorInfo& error) {
    // The answer to the request, then the error return, as a counter sends both.
    connection.deliver(make_event(std::string("Rsp") + method, fields, request_id, true, error));
    connection.deliver(make_event(std::string("ErrRtn") + method, fields, 0, true, error));
}

}  // namespace zqkit::ctp
