// The API's common answers and request fields, shared by every module's routes.
// JSON answers carry "ok"; a refusal carries "message" and "title" for the
// browser's message box, a question "confirm": true.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/application.h"
#include "app/http/request.h"
#include "params/control_set.h"

namespace torvalen::http {

Response json_response(int status, std::string body);
Response message_response(int status, std::string_view message, std::string_view title);
Response bad_request(std::string_view why);  // 400
Response not_found(std::string_view why);    // 404
Response forbidden(std::string_view why);    // 403, titled "Log On"
Response success();                          // {"ok":true}
Response result_response(const CommandResult& r);
Response outcome_response(const params::Outcome& o);
Response confirm_response(std::string_view question, std::string_view title);

// Decimal only: no blanks, no signs where none belong, no hex, no "inf" or "nan".
bool parse_u64(const std::string& text, uint64_t& out);
bool parse_u32(const std::string& text, uint32_t& out);
bool parse_float(const std::string& text, float& out);
bool field_u32(const Request& r, const char* name, uint32_t& out);
bool flag(const Request& r, const char* name);  // "1" or "true"
std::string field(const Request& r, const char* name);  // "" when absent
// A name typed by the user: without blanks at either end.
std::string name_field(const Request& r, const char* name);

// Settings dialogs send only some fields: an absent field keeps `out`; a present one
// replaces it, and one that is not well formed sets `bad` (and keeps `out`).
void optional_u32(const Request& r, const char* name, uint32_t& out, bool& bad);
void optional_float(const Request& r, const char* name, float& out, bool& bad);
void optional_flag(const Request& r, const char* name, bool& out);
void optional_flag(const Request& r, const char* name, uint64_t& out);  // 0 or 1
void optional_text(const Request& r, const char* name, std::string& out);

// The instance a request names ("instance" field), else the current one;
// null with `error` set when there is none.
Instance* instance_of(Application& app, const Request& request, Response& error);

}  // namespace torvalen::http
