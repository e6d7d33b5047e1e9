#include "tokentally/http/message.hpp"

#include "tokentally/base/json.hpp"

#include <algorithm>

namespace tokentally::http {

namespace {

// Field names are ASCII; the C library's tolower would consult the locale
// for every letter of every header of every call.
char _ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool _starts_with_ci(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

}  // namespace

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return _ascii_lower(x) == _ascii_lower(y); });
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), _ascii_lower);
    return out;
}

const std::string* find_header(const Headers& headers, std::string_view name) {
    for (const auto& [k, v] : headers)
        if (iequals(k, name)) return &v;
    return nullptr;
}

void set_header(Headers& headers, std::string_view name, std::string value) {
    std::erase_if(headers, [&](const auto& kv) { return iequals(kv.first, name); });
    headers.emplace_back(std::string(name), std::move(value));
}

bool is_hop_header(std::string_view name) {
    // Expect belongs to the hop too: a 100-continue forwarded upstream brings
    // back an interim answer the client never asked this hop for.
    for (std::string_view hop :
         {"content-length", "transfer-encoding", "connection", "keep-alive", "te", "trailer", "upgrade", "expect"})
        if (iequals(name, hop)) return true;
    return _starts_with_ci(name, "proxy-");
}

void append_fields(std::string& out, const Headers& headers, std::string_view skip) {
    for (const auto& [k, v] : headers) {
        if (is_hop_header(k) || (!skip.empty() && iequals(k, skip))) continue;
        for (std::string_view part : {std::string_view(k), std::string_view(v)})
            if (part.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
                throw std::invalid_argument("header field '" + k + "' holds a line break or NUL");
        out.append(k).append(": ").append(v).append("\r\n");
    }
}

Headers filter_headers(const Headers& headers, const std::vector<std::string_view>& drop_names,
                       const std::vector<std::string_view>& drop_prefixes) {
    Headers out;
    for (const auto& [k, v] : headers) {
        std::string n = lower(k);
        bool drop = std::find(drop_names.begin(), drop_names.end(), n) != drop_names.end();
        for (auto p : drop_prefixes) drop = drop || n.rfind(p, 0) == 0;
        if (!drop) out.emplace_back(k, v);
    }
    return out;
}

Response json_response(int status, const boost::json::value& body, Headers extra) {
    Response r;
    r.status = status;
    r.headers.emplace_back("content-type", "application/json");
    for (auto& h : extra) set_header(r.headers, h.first, std::move(h.second));
    r.body = json::write(body);
    return r;
}

Response stream_response(std::string content_type, ChunkSource source, Headers extra) {
    Response r;
    r.status = 200;
    r.headers.emplace_back("content-type", std::move(content_type));
    for (auto& h : extra) set_header(r.headers, h.first, std::move(h.second));
    r.stream = std::move(source);
    return r;
}

}  // namespace tokentally::http
