// The model router: advice on swapping a request to a cheaper model. This
// build gives no advice; the proxy's routing stage is ready for one that does.
#pragma once

#include <boost/json.hpp>

#include <string>

namespace tokentally::router {

// {"action": "none"}: the request is left alone. A router that advises
// answers "warn" (with "reason" and "suggested") or "swap" (with
// "suggested" and "savings_pct").
boost::json::object check_routing(const std::string& model_id, const boost::json::object& body,
                                  const std::string& tag);

// The request body rewritten for `model_id`: "model" replaced.
boost::json::object apply_routing(const boost::json::object& body, const std::string& model_id);

}  // namespace tokentally::router
