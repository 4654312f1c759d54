#include "Json.h"

#include <cmath>
#include <cstdio>

#include "Format.h"

namespace trovelctl {

Json::Json(int value) : value_(Number{std::to_string(value)}) {}

Json::Json(float value)
{
    if (std::isfinite(value))
        value_ = Number{FormatFloat(value)};
}

std::string Json::Dump() const
{
    std::string out;
    DumpTo(out);
    return out;
}

namespace {

void DumpString(std::string_view text, std::string& out)
{
    out += '"';
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

} // namespace

std::string JsonQuoted(std::string_view text)
{
    std::string out;
    DumpString(text, out);
    return out;
}

void Json::DumpTo(std::string& out) const
{
    if (std::holds_alternative<std::nullptr_t>(value_)) {
        out += "null";
    } else if (const auto* b = std::get_if<bool>(&value_)) {
        out += *b ? "true" : "false";
    } else if (const auto* n = std::get_if<Number>(&value_)) {
        out += n->text;
    } else if (const auto* s = std::get_if<std::string>(&value_)) {
        DumpString(*s, out);
    } else if (const auto* a = std::get_if<Array>(&value_)) {
        out += '[';
        for (std::size_t i = 0; i < a->size(); ++i) {
            if (i != 0)
                out += ',';
            (*a)[i].DumpTo(out);
        }
        out += ']';
    } else if (const auto* o = std::get_if<Object>(&value_)) {
        out += '{';
        for (std::size_t i = 0; i < o->size(); ++i) {
            if (i != 0)
                out += ',';
            DumpString((*o)[i].first, out);
            out += ':';
            (*o)[i].second.DumpTo(out);
        }
        out += '}';
    }
}

} // namespace trovelctl
