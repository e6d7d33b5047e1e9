#include "tokentally/http/message.hpp"

#include "tokentally/json.hpp"

#include <algorithm>
#include <cctype>

namespace tokentally::http {

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
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
    std::string n = lower(name);
    return n == "content-length" || n == "transfer-encoding" || n == "connection" ||
           n == "keep-alive" || n == "te" || n == "trailer" || n == "upgrade" ||
           n.rfind("proxy-", 0) == 0;
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
