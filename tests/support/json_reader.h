// A small JSON reader for tests that look into the web interface's answers.
#pragma once

#include <cctype>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace torvalen::testing {

struct JsonValue {
    std::variant<std::nullptr_t, bool, double, std::string, std::vector<JsonValue>, std::map<std::string, JsonValue>> v;

    bool is_null() const { return std::holds_alternative<std::nullptr_t>(v); }
    double num() const { return std::get<double>(v); }
    bool flag() const { return std::get<bool>(v); }
    const std::string& str() const { return std::get<std::string>(v); }
    const std::vector<JsonValue>& arr() const { return std::get<std::vector<JsonValue>>(v); }
    const JsonValue& operator[](size_t i) const { return arr().at(i); }
    const JsonValue& operator[](const std::string& k) const { return std::get<std::map<std::string, JsonValue>>(v).at(k); }
    bool has(const std::string& k) const {
        const auto* m = std::get_if<std::map<std::string, JsonValue>>(&v);
        return m && m->count(k) != 0;
    }
};

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : s_(text) {}
    bool parse(JsonValue& out) {
        if (!value(out)) return false;
        skip();
        return at_ == s_.size();
    }

private:
    void skip() {
        while (at_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[at_]))) ++at_;
    }
    bool literal(std::string_view word) {
        if (s_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }
    bool string(std::string& out) {
        if (at_ >= s_.size() || s_[at_] != '"') return false;
        for (++at_; at_ < s_.size(); ++at_) {
            const char c = s_[at_];
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c == '\\') {
                if (++at_ >= s_.size()) return false;
                const char e = s_[at_];
                if (e == 'u') {
                    at_ += 4;  // escaped control characters: not needed here
                    out += '?';
                } else {
                    out += e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
                }
            } else {
                out += c;
            }
        }
        return false;
    }
    bool value(JsonValue& out) {
        skip();
        if (at_ >= s_.size()) return false;
        const char c = s_[at_];
        if (c == 'n') return literal("null") && (out.v = nullptr, true);
        if (c == 't') return literal("true") && (out.v = true, true);
        if (c == 'f') return literal("false") && (out.v = false, true);
        if (c == '"') {
            std::string text;
            if (!string(text)) return false;
            out.v = std::move(text);
            return true;
        }
        if (c == '[') {
            ++at_;
            std::vector<JsonValue> items;
            skip();
            if (at_ < s_.size() && s_[at_] == ']') return ++at_, out.v = std::move(items), true;
            for (;;) {
                JsonValue item;
                if (!value(item)) return false;
                items.push_back(std::move(item));
                skip();
                if (at_ < s_.size() && s_[at_] == ',') {
                    ++at_;
                    continue;
                }
                if (at_ < s_.size() && s_[at_] == ']') return ++at_, out.v = std::move(items), true;
                return false;
            }
        }
        if (c == '{') {
            ++at_;
            std::map<std::string, JsonValue> members;
            skip();
            if (at_ < s_.size() && s_[at_] == '}') return ++at_, out.v = std::move(members), true;
            for (;;) {
                skip();
                std::string name;
                if (!string(name)) return false;
                skip();
                if (at_ >= s_.size() || s_[at_] != ':') return false;
                ++at_;
                JsonValue item;
                if (!value(item)) return false;
                members[name] = std::move(item);
                skip();
                if (at_ < s_.size() && s_[at_] == ',') {
                    ++at_;
                    continue;
                }
                if (at_ < s_.size() && s_[at_] == '}') return ++at_, out.v = std::move(members), true;
                return false;
            }
        }
        const std::string rest(s_.substr(at_, 40));
        char* end = nullptr;
        const double number = std::strtod(rest.c_str(), &end);
        const size_t used = static_cast<size_t>(end - rest.c_str());
        if (used > 0) out.v = number;
        at_ += used;
        return used > 0;
    }

    std::string_view s_;
    size_t at_ = 0;
};

// Parses `text`; a null value when it is not JSON.
inline JsonValue parse_json(std::string_view text) {
    JsonValue out;
    if (!JsonReader(text).parse(out)) out.v = nullptr;
    return out;
}

}  // namespace torvalen::testing
