#include "tokentally/base/logging.hpp"

#include <spdlog/details/os.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace tokentally::logging {

namespace {

// Level and logger name on every line, as the operators read them.
constexpr const char* PATTERN = "%Y-%m-%d %H:%M:%S.%e %^%-7l%$ %n: %v";

// How long a gathered line waits for others before they are written.
constexpr auto GATHER_FOR = std::chrono::milliseconds(5);

struct WriterState {
    std::shared_ptr<spdlog::sinks::dist_sink_mt> sink;
    std::shared_ptr<spdlog::sinks::sink> console;
    std::mutex mu;
    spdlog::level::level_enum level = spdlog::level::info;
};

WriterState& _state() {
    static WriterState* s = [] {
        auto* st = new WriterState;
        st->sink = std::make_shared<spdlog::sinks::dist_sink_mt>();
        st->console = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
        st->console->set_pattern(PATTERN);
        st->sink->add_sink(st->console);
        return st;
    }();
    return *s;
}

// Lines for standard error, gathered. A busy proxy logs two lines per call,
// and writing each at once was one of the costliest system calls of a
// recorded call; gathered, the lines of a few milliseconds go out in one.
struct Gathered {
    std::mutex mu;  // pending
    std::condition_variable wake;
    std::string pending;
    std::mutex write_mu;  // keeps the lines in their order across writers
};

Gathered& _gathered() {
    static auto* g = new Gathered;  // lives on past static destruction
    return *g;
}

void _write_all(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        ssize_t n = ::write(STDERR_FILENO, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to write: the lines are dropped, as stderr would
        at += static_cast<size_t>(n);
    }
}

// Writes what has been gathered so far, after whatever was taken before it.
void _write_gathered() {
    auto& g = _gathered();
    std::lock_guard order(g.write_mu);
    std::string out;
    {
        std::lock_guard lock(g.mu);
        out.swap(g.pending);
    }
    _write_all(out);
}

// The console's stream: what the colour sink writes (a line per flush)
// joins the pending text, and the writer thread is woken for the first.
ssize_t _gather(void*, const char* data, size_t size) {
    auto& g = _gathered();
    bool first;
    {
        std::lock_guard lock(g.mu);
        first = g.pending.empty();
        g.pending.append(data, size);
    }
    if (first) g.wake.notify_one();
    return static_cast<ssize_t>(size);
}

[[noreturn]] void _write_gathered_forever() {
    auto& g = _gathered();
    for (;;) {
        {
            std::unique_lock lock(g.mu);
            g.wake.wait(lock, [&] { return !g.pending.empty(); });
        }
        std::this_thread::sleep_for(GATHER_FOR);
        _write_gathered();
    }
}

// The colour sink over the gathering stream; a warning or worse goes out
// at once, with the lines gathered before it.
class GatheringConsole final : public spdlog::sinks::sink {
public:
    explicit GatheringConsole(FILE* stream)
        : colour_(stream, _colours_wanted() ? spdlog::color_mode::always : spdlog::color_mode::never) {}

    void log(const spdlog::details::log_msg& msg) override {
        colour_.log(msg);
        if (msg.level >= spdlog::level::warn) _write_gathered();
    }
    void flush() override { _write_gathered(); }
    void set_pattern(const std::string& pattern) override { colour_.set_pattern(pattern); }
    void set_formatter(std::unique_ptr<spdlog::formatter> f) override { colour_.set_formatter(std::move(f)); }

private:
    static bool _colours_wanted() {
        return spdlog::details::os::in_terminal(stderr) && spdlog::details::os::is_color_terminal();
    }
    spdlog::sinks::ansicolor_sink<spdlog::details::console_mutex> colour_;
};

}  // namespace

void gather_console_lines() {
    auto& st = _state();
    std::lock_guard lock(st.mu);
    if (std::dynamic_pointer_cast<GatheringConsole>(st.console)) return;
    cookie_io_functions_t io{.read = nullptr, .write = _gather, .seek = nullptr, .close = nullptr};
    FILE* stream = fopencookie(nullptr, "w", io);
    if (stream == nullptr) return;  // lines keep going out one by one
    auto console = std::make_shared<GatheringConsole>(stream);
    console->set_pattern(PATTERN);
    std::thread(_write_gathered_forever).detach();
    std::atexit(_write_gathered);
    auto sinks = st.sink->sinks();
    std::replace(sinks.begin(), sinks.end(), st.console, std::shared_ptr<spdlog::sinks::sink>(console));
    st.sink->set_sinks(std::move(sinks));
    st.console = console;
}

std::shared_ptr<spdlog::logger> get(const std::string& name) {
    auto& st = _state();
    std::lock_guard lock(st.mu);
    if (auto existing = spdlog::get(name)) return existing;
    auto logger = std::make_shared<spdlog::logger>(name, st.sink);
    logger->set_level(st.level);
    spdlog::register_logger(logger);
    return logger;
}

void set_level(spdlog::level::level_enum level) {
    auto& st = _state();
    std::lock_guard lock(st.mu);
    st.level = level;
    spdlog::apply_all([level](const std::shared_ptr<spdlog::logger>& l) {
        if (l->name().rfind("tokentally.", 0) == 0) l->set_level(level);
    });
}

void add_sink(std::shared_ptr<spdlog::sinks::sink> sink) { _state().sink->add_sink(std::move(sink)); }

void remove_sink(const std::shared_ptr<spdlog::sinks::sink>& sink) { _state().sink->remove_sink(sink); }

std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

bool is_logged_outage(const std::exception& error) { return dynamic_cast<const LoggedOutage*>(&error) != nullptr; }

namespace {

bool _is_logged_outage(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return is_logged_outage(e);
    } catch (...) {
        return false;
    }
}

}  // namespace

void failed(RepeatedFailure& f, const std::string& logger, const std::string& prefix, const std::exception_ptr& error) {
    if (!_is_logged_outage(error)) failed(f, logger, prefix, describe(error));
}

void failed(RepeatedFailure& f, const std::string& logger, const std::string& prefix, const std::string& error) {
    {
        std::lock_guard lock(f.mu);
        if (error == f.last) return;
        f.last = error;
    }
    get(logger)->warn("{}{}", prefix, error);
}

void succeeded(RepeatedFailure& f) {
    std::lock_guard lock(f.mu);
    f.last.clear();
}

namespace {

// The length of a control character starting at `i` (a C0 byte, DEL, or a
// C1 control in UTF-8), 0 for anything else.
std::size_t _control_at(std::string_view text, std::size_t i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) return 1;
    if (c == 0xc2 && i + 1 < text.size()) {
        auto next = static_cast<unsigned char>(text[i + 1]);
        if (next >= 0x80 && next <= 0x9f) return 2;
    }
    return 0;
}

}  // namespace

std::string printable(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && _control_at(text, i) == 0) ++i;
    if (i == text.size()) return std::string(text);
    std::string out(text.substr(0, i));
    while (i < text.size()) {
        std::size_t n = _control_at(text, i);
        if (n == 0) {
            out += text[i++];
            continue;
        }
        unsigned code = n == 1 ? static_cast<unsigned char>(text[i]) : static_cast<unsigned char>(text[i + 1]);
        if (code == '\n')
            out += "\\n";
        else if (code == '\r')
            out += "\\r";
        else if (code == '\t')
            out += "\\t";
        else
            out += fmt::format("\\u{:04x}", code);
        i += n;
    }
    return out;
}

bool once_a_minute(OnceAMinute& log, const std::string& what) {
    return once_a_minute(log, what, std::chrono::steady_clock::now());
}

bool once_a_minute(OnceAMinute& log, const std::string& what, std::chrono::steady_clock::time_point now) {
    // What repeats may be chosen by callers (a refused target): the memory is bounded.
    constexpr std::size_t MAX_REMEMBERED = 4096;
    std::lock_guard lock(log.mu);
    if (log.last.size() >= MAX_REMEMBERED) log.last.clear();
    auto [it, fresh] = log.last.try_emplace(what, now);
    if (fresh) return true;
    if (now - it->second < std::chrono::minutes(1)) return false;
    it->second = now;
    return true;
}

}  // namespace tokentally::logging
