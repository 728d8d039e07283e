// A small JSON writer for the web interface's responses: objects, arrays,
// strings (escaped), numbers (non-finite ones written as null) and booleans.
// Commas are placed automatically.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace torvalen::http {

class Json {
public:
    Json& begin_object();
    Json& end_object();
    Json& begin_array();
    Json& end_array();
    // The name of the next member of the open object.
    Json& key(std::string_view name);

    Json& value(std::string_view text);
    Json& value(const char* text) { return value(std::string_view(text)); }
    Json& value(const std::string& text) { return value(std::string_view(text)); }
    Json& value(double number);
    Json& value(float number) { return value(static_cast<double>(number)); }
    Json& value(int64_t number);
    Json& value(int number) { return value(static_cast<int64_t>(number)); }
    Json& value(uint32_t number) { return value(static_cast<int64_t>(number)); }
    Json& value(uint64_t number);
    Json& value(bool flag);
    Json& null();
    // Text that already is JSON (a nested document).
    Json& raw(std::string_view json);

    // key(name).value(v) in one call.
    template <typename T>
    Json& member(std::string_view name, const T& v) {
        key(name);
        return value(v);
    }

    const std::string& str() const { return out_; }
    std::string take() { return std::move(out_); }

private:
    void separate();
    std::string out_;
    std::vector<bool> first_;  // per open container: no member written yet
    bool after_key_ = false;
};

// `text` as a JSON string literal, quotes included.
std::string json_quote(std::string_view text);

}  // namespace torvalen::http
