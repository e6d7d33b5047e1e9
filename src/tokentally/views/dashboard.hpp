// The web dashboard: one page (static files of web/ with Debian's Chart.js),
// the JSON API it reads (/dashboard/api/...), the range's calls as CSV, and
// /metrics. Spend data is private: with TOKENTALLY_ADMIN_TOKEN set the API,
// the CSV and /metrics want it as a bearer token; without it, every route
// here answers loopback clients only.
#pragma once

#include <boost/asio/thread_pool.hpp>

#include "tokentally/guards/limits.hpp"
#include "tokentally/guards/spend_state.hpp"
#include "tokentally/http/server.hpp"
#include "tokentally/store/store.hpp"

#include <memory>
#include <string>
#include <string_view>

namespace tokentally::dashboard {

inline constexpr const char* ADMIN_TOKEN_ENV = "TOKENTALLY_ADMIN_TOKEN";

// Where the page's files are found: $TOKENTALLY_WEB_DIR when set, else the
// web/ folder the build copies beside the shared libraries.
inline constexpr const char* WEB_DIR_ENV = "TOKENTALLY_WEB_DIR";
// Chart.js as Debian's libjs-chart.js installs it; $TOKENTALLY_CHARTJS
// names another copy. Without the file the page shows its tables and
// figures, and says the charts are missing.
inline constexpr const char* CHARTJS_ENV = "TOKENTALLY_CHARTJS";
inline constexpr const char* CHARTJS_PATH = "/usr/share/javascript/chart.js/chart.min.js";

// What a client that is not on this machine is told without a token, and
// what `serve` on a network address without one warns.
inline constexpr std::string_view NO_TOKEN_DETAIL =
    "The dashboard and /metrics answer only on this machine: set TOKENTALLY_ADMIN_TOKEN before starting "
    "tokentally serve and send it as 'Authorization: Bearer <token>' to reach them from elsewhere";

// The page, its API, the CSV and /metrics over `store`, behind the access
// rule above; `version` labels tokentally_build_info. The budgets' spend is
// read from `spend` (the serving proxy's state; one of the router's own when
// none is given);
// the rate-limited calls of `limits` (the serving proxy's) are written to
// the ledger before the summary counts them. The data routes read on
// `readers` (two threads of their own when none).
http::Router router(std::shared_ptr<store::Store> store, std::string version,
                    std::shared_ptr<spend_state::State> spend = nullptr,
                    std::shared_ptr<limits::State> limits = nullptr,
                    std::shared_ptr<boost::asio::thread_pool> readers = nullptr);

}  // namespace tokentally::dashboard
