// Plain C++ values that travel between the worker threads and Python.
//
// Nothing in here touches a Python object: the worker threads build these, and only
// `poll` (holding the GIL) turns them into dicts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace zqkit::ctp {

// A CTP field: character fields are text, integer fields int, price and money fields double.
using Value = std::variant<std::string, std::int64_t, double>;

// Field name → value, kept in the order the CTP structure lists its fields.
class Fields {
  public:
    void add(std::string name, Value value) {
        items_.emplace_back(std::move(name), std::move(value));
    }
    const Value* find(std::string_view name) const;
    // The text of a character field; `fallback` when the field is missing or not text.
    std::string text(std::string_view name, std::string_view fallback = {}) const;
    // An integer field; bools arrive here as 0 or 1.
    std::optional<std::int64_t> integer(std::string_view name) const;
    // A double field; an integer value counts as well.
    std::optional<double> number(std::string_view name) const;
    const std::vector<std::pair<std::string, Value>>& items() const { return items_; }

  private:
    std::vector<std::pair<std::string, Value>> items_;
};

struct ErrorInfo {
    int id = 0;
    std::string message;
};

// One callback of the front, as `poll` hands it out.
struct Event {
    std::string name;
    std::optional<Fields> data;
    int request_id = 0;
    bool last = true;
    std::optional<ErrorInfo> error;
};

}  // namespace zqkit::ctp
