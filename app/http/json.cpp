#include "app/http/json.h"

#include <cmath>
#include <cstdio>

#include "engine/user_text.h"

namespace torvalen::http {

void Json::separate() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }
}

Json& Json::begin_object() {
    separate();
    out_ += '{';
    first_.push_back(true);
    return *this;
}

Json& Json::end_object() {
    out_ += '}';
    if (!first_.empty()) first_.pop_back();
    return *this;
}

Json& Json::begin_array() {
    separate();
    out_ += '[';
    first_.push_back(true);
    return *this;
}

Json& Json::end_array() {
    out_ += ']';
    if (!first_.empty()) first_.pop_back();
    return *this;
}

Json& Json::key(std::string_view name) {
    separate();
    out_ += json_quote(name);
    out_ += ':';
    after_key_ = true;
    return *this;
}

Json& Json::value(std::string_view text) {
    separate();
    out_ += json_quote(text);
    return *this;
}

Json& Json::value(double number) {
    separate();
    if (!std::isfinite(number)) {
        out_ += "null";
        return *this;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", number);
    out_ += buffer;
    return *this;
}

Json& Json::value(int64_t number) {
    separate();
    out_ += std::to_string(number);
    return *this;
}

Json& Json::value(uint64_t number) {
    separate();
    out_ += std::to_string(number);
    return *this;
}

Json& Json::value(bool flag) {
    separate();
    out_ += flag ? "true" : "false";
    return *this;
}

Json& Json::null() {
    separate();
    out_ += "null";
    return *this;
}

Json& Json::raw(std::string_view json) {
    separate();
    out_ += json;
    return *this;
}

std::string json_quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    while (!text.empty()) {
        const size_t n = utf8_sequence_length(text);
        const char c = text[0];
        const auto u = static_cast<unsigned char>(c);
        if (n != 1) {
            // A byte that is not UTF-8 (a name stored by an older build) would make
            // the whole answer unreadable: it goes out as U+FFFD.
            if (n == 0) out += "\\ufffd";
            else out.append(text.substr(0, n));
            text.remove_prefix(n == 0 ? 1 : n);
            continue;
        }
        text.remove_prefix(1);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                char buffer[8];
                std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
                out += buffer;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

}  // namespace torvalen::http
