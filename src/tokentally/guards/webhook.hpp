// Budget alerts delivered to people: each stored alert is POSTed once to
// `[alerts] webhook_url` (a chat's incoming webhook, or anything that takes
// a JSON POST), as the alert record ("json", the default) or as a chat
// message ("slack": {"text": ...}, which Slack, Mattermost and Rocket.Chat
// take as is). The settings are read at each use.
//
// Delivery runs on a thread of its own, never on a call's path: alerts wait
// in a bounded queue, and a failed try (transport error, timeout, status 300
// or above) is tried again after about 5 s and 30 s. What still fails is
// logged at WARNING at most once a minute; the alert stays in `alerts`. The
// URL is a secret (chat webhooks are capability URLs): logs and errors name
// only its scheme and host.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tokentally::webhook {

// An alert as it goes out: the six members of the stored record.
struct Alert {
    double ts = 0.0;  // seconds since the epoch, as stored
    std::string level;
    std::string scope;
    double spent = 0.0;
    double budget = 0.0;
    std::string message;
};

enum class Format { json, slack };

// Where alerts go and in which form.
struct Target {
    std::string url;
    Format format = Format::json;
};

// `[alerts]` of `cfg`: none without a webhook_url (absent or empty). Throws
// naming the key for a URL that is not an http:// or https:// URL with a
// host (the value is not repeated: it is a secret) and for a format other
// than "json" or "slack".
std::optional<Target> target(const boost::json::object& cfg);

// target() of the configuration file as it is now.
std::optional<Target> configured();

// The JSON text POSTed for `alert`: the record's six members with the
// message's ANSI colour codes removed, or {"text": "<level icon> <message>"}
// with &, < and > escaped as Slack requires.
std::string payload(const Alert& alert, Format format);

// "scheme://host" of a URL: all of it that a log line or an error may show.
std::string url_name(const std::string& url);

// Bound on one try: connecting, sending and reading the answer.
inline constexpr std::chrono::seconds TIMEOUT{10};

// One try: POSTs the payload as application/json. Throws for a transport
// error, the timeout or a status of 300 or above; the message names the URL
// by url_name() only.
boost::asio::awaitable<void> post(const Target& target, const Alert& alert, std::chrono::seconds timeout = TIMEOUT);

// post() on an event loop of its own, for the command line.
void post_now(const Target& target, const Alert& alert, std::chrono::seconds timeout = TIMEOUT);

// Alerts waiting or under way at most; one more is dropped and logged.
inline constexpr std::size_t QUEUE_CAPACITY = 1000;

// How a Delivery works. The defaults are the real ones; tests shorten the
// waits and bring their own clock and settings.
struct Options {
    // The waits before the second and the third try.
    std::vector<std::chrono::milliseconds> retry_delays{std::chrono::seconds(5), std::chrono::seconds(30)};
    std::chrono::seconds timeout = TIMEOUT;
    std::size_t capacity = QUEUE_CAPACITY;
    // When the delivery ends, tries already under way get this long to
    // finish; waits for a retry end at once.
    std::chrono::milliseconds shutdown_grace{2000};
    // The clock of the once-a-minute warning.
    std::function<std::chrono::steady_clock::time_point()> clock = [] { return std::chrono::steady_clock::now(); };
    // Where alerts go, asked when an alert comes and before each try.
    std::function<std::optional<Target>()> settings = configured;
};

struct DeliveryState;

// The queue of one process's alerts and the thread that sends them, started
// with the first alert that has somewhere to go (so without a webhook_url
// there is no thread at all). Destroying it lets tries under way finish for
// a moment (Options::shutdown_grace), then stops: it never keeps a process
// from ending.
struct Delivery {
    explicit Delivery(Options options = {});
    ~Delivery();
    Delivery(const Delivery&) = delete;
    Delivery& operator=(const Delivery&) = delete;

    std::shared_ptr<DeliveryState> state;
};

// Queues `alert` for delivery when a webhook is configured. Never waits on
// the network and never throws: a queue at capacity or settings that cannot
// be read are logged, and the alert stays in `alerts` only.
void send(Delivery& delivery, const Alert& alert);

}  // namespace tokentally::webhook
