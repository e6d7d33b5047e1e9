// What of the request's own URL goes to the provider: the upstream URL both
// routers build, and the two [proxy] switches that decide whether the
// request's query string travels with it.
#pragma once

#include <boost/json.hpp>

#include <string>
#include <string_view>

namespace tokentally::upstream {

struct Switches {
    bool keep_query = false;     // forward the request's query string unchanged (both routers)
    bool gemini_native = false;  // recognise Gemini's native paths (.../models/{model}:{method})
};

// keep_query and gemini_native of the [proxy] table, each read for its
// truth; both off when absent. Throws when [proxy] is not a table.
Switches switches(const boost::json::object& config);

// The switches of the user's configuration, read at each call. A file that
// cannot be read leaves them off (the budget check reports it).
Switches configured();

// `base` without its trailing "/", then "/" and `path`, then "?" and
// `query` as it stands (percent-encoding untouched) when it is not empty.
std::string url(std::string base, std::string_view path, std::string_view query = {});

}  // namespace tokentally::upstream
