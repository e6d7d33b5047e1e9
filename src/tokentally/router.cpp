#include "tokentally/router.hpp"

namespace tokentally::router {

boost::json::object check_routing(const std::string&, const boost::json::object&, const std::string&) {
    return {{"action", "none"}};
}

boost::json::object apply_routing(const boost::json::object& body, const std::string& model_id) {
    boost::json::object out = body;
    out["model"] = model_id;
    return out;
}

}  // namespace tokentally::router
