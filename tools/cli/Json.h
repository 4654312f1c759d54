#pragma once
// A small JSON value for the --json output: built once per command, written once.

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace trovelctl {

// `text` as a JSON string, quotes included.
std::string JsonQuoted(std::string_view text);

class Json {
public:
    using Array = std::vector<Json>;
    using Object = std::vector<std::pair<std::string, Json>>; // keeps the order of insertion

    Json() = default; // null
    Json(bool value) : value_(value) {}
    Json(int value);
    Json(float value); // shortest text that reads back as the same float; null when not finite
    Json(const char* text) : value_(std::string(text)) {}
    Json(std::string text) : value_(std::move(text)) {}
    Json(Array items) : value_(std::move(items)) {}
    Json(Object members) : value_(std::move(members)) {}

    std::string Dump() const;

private:
    struct Number {
        std::string text;
    };
    void DumpTo(std::string& out) const;

    std::variant<std::nullptr_t, bool, Number, std::string, Array, Object> value_{nullptr};
};

} // namespace trovelctl
