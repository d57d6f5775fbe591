#include "values.hpp"

namespace zqkit::ctp {

const Value* Fields::find(std::string_view name) const {
    for (const auto& [key, value] : items_) {
        if (key == name) return &value;
    }
    return nullptr;
}

std::string Fields::text(std::string_view name, std::string_view fallback) const {
    const Value* value = find(name);
    if (value != nullptr) {
        if (const auto* text = std::get_if<std::string>(value)) return *text;
    }
    return std::string(fallback);
}

std::optional<std::int64_t> Fields::integer(std::string_view name) const {
    const Value* value = find(name);
    if (value != nullptr) {
        if (const auto* number = std::get_if<std::int64_t>(value)) return *number;
    }
    return std::nullopt;
}

std::optional<double> Fields::number(std::string_view name) const {
    const Value* value = find(name);
    if (value == nullptr) return std::nullopt;
    if (const auto* real = std::get_if<double>(value)) return *real;
    if (const auto* whole = std::get_if<std::int64_t>(value)) return static_cast<double>(*whole);
    return std::nullopt;
}

}  // namespace zqkit::ctp
