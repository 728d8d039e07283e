// A parsed HTTP request and the answer to it: what the web server hands the API
// and gets back. No sockets here.
#pragma once

#include <map>
#include <string>

namespace torvalen::http {

struct Request {
    std::string method;  // "GET" or "POST"
    std::string path;    // without the query
    std::map<std::string, std::string> params;  // query fields or form fields
    std::string session;  // value of the session cookie, if any
    std::string origin;   // Origin header, if any
    std::string host;     // Host header
    std::string fetch_site;  // Sec-Fetch-Site header, if any
    std::string token;    // X-Torvalen-Token header: the session's anti-forgery token
    std::string peer;     // the client's address (no port), for per-peer limits
    std::string authorization;  // Authorization header, if any (GET /metrics)

    const std::string* param(const std::string& name) const {
        const auto it = params.find(name);
        return it == params.end() ? nullptr : &it->second;
    }
};

struct Response {
    int status = 200;
    std::string body;        // JSON
    std::string set_cookie;  // a Set-Cookie header value, if any
    bool exit_after = false; // the process should end once this has been sent
    std::string content_type = "application/json; charset=utf-8";
};

}  // namespace torvalen::http
