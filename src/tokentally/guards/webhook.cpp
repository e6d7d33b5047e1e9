#include "tokentally/guards/webhook.hpp"

#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/http/client.hpp"

#include <fmt/format.h>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace tokentally::webhook {

namespace asio = boost::asio;
namespace bj = boost::json;

namespace {

// What a receiver said along with a refusal, enough to tell why ("no_service",
// "invalid_payload") without filling the log.
constexpr std::size_t ANSWER_EXCERPT = 200;

const std::string FAILED = "Alert delivery failed: ";

auto _log() {
    static auto logger = logging::get("tokentally.alerts");
    return logger;
}

// The message without ANSI control sequences (ESC [ ... final byte): the log
// line colours alerts, a chat must not get the codes as text.
std::string _without_ansi(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\x1b' || i + 1 >= text.size() || text[i + 1] != '[') {
            out += text[i];
            continue;
        }
        i += 2;
        while (i < text.size() && !(text[i] >= 0x40 && text[i] <= 0x7e)) ++i;
    }
    return out;
}

// Slack reads &, < and > as markup (<url|label>, <!channel>).
std::string _slack_escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

std::string_view _icon(std::string_view level) {
    if (level == "critical") return "🚨";
    if (level == "warn") return "⚠️";
    if (level == "info") return "ℹ️";
    return "🔔";
}

Format _format(const bj::object& alerts) {
    const bj::value* v = alerts.if_contains("webhook_format");
    if (v == nullptr || v->is_null()) return Format::json;
    if (v->is_string() && v->get_string() == "json") return Format::json;
    if (v->is_string() && v->get_string() == "slack") return Format::slack;
    throw std::runtime_error("[alerts] webhook_format must be \"json\" or \"slack\", not " + json::write(*v));
}

// Every place the URL (or its redacted form, which keeps the path) stands in
// a text, replaced by its scheme and host.
std::string _scrubbed(std::string text, const std::string& url) {
    const std::string name = url_name(url);
    for (const std::string& secret : {url, http::redact_url(url)}) {
        if (secret.empty() || secret == name) continue;
        for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + name.size()))
            text.replace(at, secret.size(), name);
    }
    return text;
}

std::string _excerpt(const std::string& body) {
    if (body.empty()) return "";
    std::string cut = body.substr(0, ANSWER_EXCERPT);
    return ": " + logging::printable(cut) + (body.size() > cut.size() ? "..." : "");
}

asio::awaitable<void> _exchange(const Target& target, std::string body, std::chrono::seconds timeout) {
    http::Client client(timeout);
    const http::ClientRequest req{
        "POST", target.url, {{"Content-Type", "application/json"}, {"User-Agent", "tokentally"}}, std::move(body)};
    http::ClientResponse answer = co_await client.fetch(req);
    client.close();
    if (answer.status >= 300)
        throw std::runtime_error(
            fmt::format("{} answered {}{}", url_name(target.url), answer.status, _excerpt(answer.body)));
}

}  // namespace

std::optional<Target> target(const bj::object& cfg) {
    const bj::object& alerts = json::table(cfg, "alerts");
    const bj::value* url = alerts.if_contains("webhook_url");
    if (!json::truthy(url)) return std::nullopt;
    if (!url->is_string()) throw std::runtime_error("[alerts] webhook_url must be a text (an http:// or https:// URL)");
    Target t{std::string(url->get_string()), _format(alerts)};
    try {
        http::url_origin(t.url);
    } catch (const std::exception&) {
        // The client's own message repeats the URL.
        throw std::runtime_error("[alerts] webhook_url is not an http:// or https:// URL with a host");
    }
    return t;
}

std::optional<Target> configured() { return target(*config::load_shared()); }

std::string payload(const Alert& alert, Format format) {
    std::string message = _without_ansi(alert.message);
    if (format == Format::slack)
        return json::write(bj::object{{"text", fmt::format("{} {}", _icon(alert.level), _slack_escaped(message))}});
    return json::write(bj::object{{"ts", alert.ts},
                                  {"level", alert.level},
                                  {"scope", alert.scope},
                                  {"spent", alert.spent},
                                  {"budget", alert.budget},
                                  {"message", message}});
}

std::string url_name(const std::string& url) {
    try {
        http::url_origin(url);
    } catch (const std::exception&) {
        return "(an invalid URL)";
    }
    return http::target_name(url);
}

asio::awaitable<void> post(const Target& target, const Alert& alert, std::chrono::seconds timeout) {
    std::string body = payload(alert, target.format);
    auto [failed] = co_await asio::co_spawn(co_await asio::this_coro::executor, _exchange(target, body, timeout),
                                            asio::as_tuple(asio::use_awaitable));
    if (failed) throw std::runtime_error(_scrubbed(logging::describe(failed), target.url));
}

void post_now(const Target& target, const Alert& alert, std::chrono::seconds timeout) {
    asio::io_context ioc;
    auto sent = asio::co_spawn(ioc, post(target, alert, timeout), asio::use_future);
    ioc.run();
    sent.get();
}

// ---------------------------------------------------------------------------
// The queue and its thread.

struct DeliveryState {
    explicit DeliveryState(Options o) : opts(std::move(o)) {}

    Options opts;
    asio::io_context ioc;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::thread thread;  // started with the first alert that has somewhere to go

    std::mutex mu;            // guards the four below
    std::size_t pending = 0;  // alerts accepted and not yet finished
    bool stopping = false;
    logging::OnceAMinute warned;
    std::size_t held_back = 0;  // failures not warned about since the last warning

    // The sending thread's own: waits for a retry (cut short at shutdown) and
    // the end of the shutdown grace.
    std::vector<asio::steady_timer*> waits;
    std::optional<asio::steady_timer> grace;
};

namespace {

bool _stopping(DeliveryState& st) {
    std::lock_guard lock(st.mu);
    return st.stopping;
}

// A failure as a WARNING once a minute; in between it is counted, logged
// below WARNING, and the next warning says how many there were.
void _warn(DeliveryState& st, const std::string& what) {
    bool warn = false;
    std::size_t held = 0;
    {
        std::lock_guard lock(st.mu);
        warn = logging::once_a_minute(st.warned, "delivery", st.opts.clock());
        if (warn)
            held = std::exchange(st.held_back, 0);
        else
            ++st.held_back;
    }
    if (!warn)
        _log()->info("Alert not delivered (a warning went out within the minute): {}", what);
    else if (held > 0)
        _log()->warn("{}{} ({} more since the last warning)", FAILED, what, held);
    else
        _log()->warn("{}{}", FAILED, what);
}

// The settings for the next try; none with `error` set when they cannot be
// read, none without when no webhook is configured any more.
std::optional<Target> _settings(DeliveryState& st, std::string& error) {
    try {
        return st.opts.settings();
    } catch (const std::exception& e) {
        error = e.what();
        return std::nullopt;
    }
}

std::string _seconds(std::chrono::milliseconds d) { return json::format_real(d.count() / 1000.0) + "s"; }

// False when the wait was cut short by the shutdown.
asio::awaitable<bool> _wait(DeliveryState& st, std::chrono::milliseconds delay) {
    asio::steady_timer timer(st.ioc, delay);
    st.waits.push_back(&timer);
    auto [ec] = co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
    std::erase(st.waits, &timer);
    co_return !ec && !_stopping(st);
}

// The tries of one alert; never throws.
asio::awaitable<void> _tries(DeliveryState& st, const Alert& alert) {
    const std::size_t tries = st.opts.retry_delays.size() + 1;
    std::string error;
    std::size_t n = 1;
    for (;; ++n) {
        std::optional<Target> target = _settings(st, error);
        if (!target) {
            if (error.empty()) co_return;  // the webhook was removed meanwhile
            break;
        }
        auto [failed] =
            co_await asio::co_spawn(st.ioc, post(*target, alert, st.opts.timeout), asio::as_tuple(asio::use_awaitable));
        if (!failed) co_return;
        error = logging::describe(failed);
        if (n == tries || _stopping(st)) break;
        std::chrono::milliseconds delay = st.opts.retry_delays[n - 1];
        _log()->info("Alert delivery try {} of {} failed: {}; trying again in {}", n, tries, error, _seconds(delay));
        if (!co_await _wait(st, delay)) break;
    }
    std::string stopped = n < tries ? ", the rest given up at shutdown" : "";
    _warn(st, fmt::format("{} (alert [{}], {} of {} tries{}; it stays in alerts)", error,
                          logging::printable(alert.scope), n, tries, stopped));
}

void _finished(DeliveryState& st) {
    bool last = false;
    {
        std::lock_guard lock(st.mu);
        --st.pending;
        last = st.stopping && st.pending == 0;
    }
    if (last && st.grace) st.grace->cancel();
}

asio::awaitable<void> _deliver(DeliveryState& st, Alert alert) {
    co_await _tries(st, alert);
    _finished(st);
}

void _start(DeliveryState& st) {
    st.work.emplace(st.ioc.get_executor());
    st.thread = std::thread([&st] {
        for (;;) {
            try {
                st.ioc.run();
                return;
            } catch (const std::exception& e) {
                _log()->error("Alert delivery: {}", e.what());
            }
        }
    });
}

// On the sending thread: retries are given up, tries under way get the
// grace to finish.
void _begin_stop(DeliveryState& st) {
    for (asio::steady_timer* t : st.waits) t->cancel();
    {
        std::lock_guard lock(st.mu);
        if (st.pending == 0) return;
    }
    st.grace.emplace(st.ioc, st.opts.shutdown_grace);
    st.grace->async_wait([&st](boost::system::error_code ec) {
        if (!ec) st.ioc.stop();
    });
}

// Takes one more alert unless the queue is full; starts the thread with the first.
bool _admit(DeliveryState& st) {
    std::lock_guard lock(st.mu);
    if (st.stopping || st.pending >= st.opts.capacity) return false;
    if (!st.thread.joinable()) _start(st);
    ++st.pending;
    return true;
}

}  // namespace

Delivery::Delivery(Options options) : state(std::make_shared<DeliveryState>(std::move(options))) {}

Delivery::~Delivery() {
    DeliveryState& st = *state;
    {
        std::lock_guard lock(st.mu);
        st.stopping = true;
    }
    if (!st.thread.joinable()) return;
    asio::post(st.ioc, [&st] { _begin_stop(st); });
    st.work.reset();
    st.thread.join();
    std::size_t left = st.pending;  // the thread has ended: no one else counts
    if (left > 0) _warn(st, fmt::format("{} alert(s) still under way at shutdown; they stay in alerts", left));
}

void send(Delivery& delivery, const Alert& alert) {
    DeliveryState& st = *delivery.state;
    try {
        std::string error;
        std::optional<Target> target = _settings(st, error);
        if (!error.empty()) return _warn(st, error);
        if (!target) return;
        if (!_admit(st)) {
            if (!_stopping(st))
                _warn(st, fmt::format("{} alerts are waiting already; alert [{}] dropped (it stays in alerts)",
                                      st.opts.capacity, logging::printable(alert.scope)));
            return;
        }
        asio::co_spawn(st.ioc, _deliver(st, alert), [](std::exception_ptr) {});
    } catch (const std::exception& e) {
        // A thread that cannot be started: the alert stays in `alerts`.
        _log()->warn("{}{}", FAILED, e.what());
    }
}

}  // namespace tokentally::webhook
