#include "tokentally/proxy/upstream.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"

namespace tokentally::upstream {

Switches switches(const boost::json::object& config) {
    const boost::json::object& proxy = json::table(config, "proxy");
    return Switches{json::truthy(proxy.if_contains("keep_query")), json::truthy(proxy.if_contains("gemini_native"))};
}

Switches configured() {
    try {
        return switches(*config::load_shared());
    } catch (const std::exception&) {
        return {};
    }
}

std::string url(std::string base, std::string_view path, std::string_view query) {
    base.erase(base.find_last_not_of('/') + 1);
    base += '/';
    base += path;
    if (!query.empty()) {
        base += '?';
        base += query;
    }
    return base;
}

}  // namespace tokentally::upstream
