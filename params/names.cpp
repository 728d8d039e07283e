#include "params/names.h"

#include <algorithm>

#include "engine/user_text.h"

namespace torvalen::params {

bool valid_name(std::string_view name) {
    if (name.empty() || name.size() > max_name_chars || !clean_user_text(name)) return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == '\\' || c == '/' || byte < 0x20 || byte == 0x7F;
    });
}

std::string name_from_file(std::string_view value) {
    const std::string_view cut = value.substr(0, max_name_chars);
    return valid_name(cut) ? std::string(cut) : std::string();
}

}  // namespace torvalen::params
