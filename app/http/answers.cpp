#include "app/http/answers.h"

#include <charconv>
#include <cmath>

#include "app/http/json.h"
#include "app/messages.h"

namespace torvalen::http {

// ---- Answers ----

Response json_response(int status, std::string body) {
    Response r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

Response message_response(int status, std::string_view message, std::string_view title) {
    Json j;
    j.begin_object().member("ok", false).member("message", message).member("title", title).end_object();
    return json_response(status, j.take());
}

Response bad_request(std::string_view why) { return message_response(400, why, "Error"); }
Response not_found(std::string_view why) { return message_response(404, why, "Error"); }
Response forbidden(std::string_view why) { return message_response(403, why, "Log On"); }

Response success() { return json_response(200, R"({"ok":true})"); }

Response result_response(const CommandResult& r) {
    if (r.ok) return success();
    Json j;
    j.begin_object().member("ok", false);
    if (r.needs_confirmation) j.member("confirm", true);
    j.member("message", r.message).member("title", r.title).end_object();
    return json_response(200, j.take());
}

Response outcome_response(const params::Outcome& o) {
    if (o.ok) return success();
    return message_response(200, o.message, o.title);
}

Response confirm_response(std::string_view question, std::string_view title) {
    CommandResult ask = CommandResult::failure(std::string(question), std::string(title));
    ask.needs_confirmation = true;
    return result_response(ask);
}

// ---- Fields ----

bool parse_u64(const std::string& text, uint64_t& out) {
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

bool parse_u32(const std::string& text, uint32_t& out) {
    uint64_t v = 0;
    if (!parse_u64(text, v) || v > UINT32_MAX) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// Decimal only, as the API says: no blanks, no hex, no "inf" or "nan".
bool parse_float(const std::string& text, float& out) {
    if (text.empty()) return false;
    double v = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v)) return false;
    out = static_cast<float>(v);
    return std::isfinite(out);
}

bool field_u32(const Request& r, const char* name, uint32_t& out) {
    const std::string* v = r.param(name);
    return v && parse_u32(*v, out);
}

bool flag(const Request& r, const char* name) {
    const std::string* v = r.param(name);
    return v && (*v == "1" || *v == "true");
}

std::string field(const Request& r, const char* name) {
    const std::string* v = r.param(name);
    return v ? *v : std::string();
}

void optional_u32(const Request& r, const char* name, uint32_t& out, bool& bad) {
    const std::string* v = r.param(name);
    uint32_t u = 0;
    if (v && !(parse_u32(*v, u) ? (out = u, true) : false)) bad = true;
}

void optional_float(const Request& r, const char* name, float& out, bool& bad) {
    const std::string* v = r.param(name);
    float f = 0.0f;
    if (v && !(parse_float(*v, f) ? (out = f, true) : false)) bad = true;
}

void optional_flag(const Request& r, const char* name, bool& out) {
    if (r.param(name)) out = flag(r, name);
}

void optional_flag(const Request& r, const char* name, uint64_t& out) {
    if (r.param(name)) out = flag(r, name) ? 1 : 0;
}

void optional_text(const Request& r, const char* name, std::string& out) {
    if (const std::string* v = r.param(name)) out = *v;
}

std::string name_field(const Request& r, const char* name) {
    std::string v = field(r, name);
    const size_t first = v.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return v.substr(first, v.find_last_not_of(" \t") - first + 1);
}

Instance* instance_of(Application& app, const Request& request, Response& error) {
    if (const std::string* name = request.param("instance")) {
        Instance* instance = app.find(*name);
        if (!instance) error = not_found("No instance of that name");
        return instance;
    }
    Instance* instance = app.current();
    if (!instance) error = message_response(404, messages::no_instance, "Error");
    return instance;
}

}  // namespace torvalen::http
