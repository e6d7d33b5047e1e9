// Named loggers ("tokentally.proxy", "tokentally.local", ...). All of them
// write through one shared sink so that the process (or a test) can redirect
// every module's lines in one place.
#pragma once

#include <spdlog/spdlog.h>

#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tokentally::logging {

// The logger with this name, created on first use at the process level.
std::shared_ptr<spdlog::logger> get(const std::string& name);

// Sets the level of every tokentally logger (INFO by default).
void set_level(spdlog::level::level_enum level);

// From now on the console's lines are gathered for a few milliseconds and
// written together (warnings and worse at once, and all of them at exit):
// for a server, whose per-call lines would otherwise cost a write each.
void gather_console_lines();

// Adds or removes a sink that receives the lines of every tokentally logger.
void add_sink(std::shared_ptr<spdlog::sinks::sink> sink);
void remove_sink(const std::shared_ptr<spdlog::sinks::sink>& sink);

// `text` (a model id, a tag, a session id a caller chose) as it may stand in
// a log line or on a terminal: control characters escaped as \n, \r, \t or
// \u001b (C1 controls too), so that a value cannot forge a line or send
// escape codes. Unchanged when it holds none, which is nearly always.
std::string printable(std::string_view text);

// The message of a caught error, for a log line ("unknown error" for one
// that is not a std::exception). Called from coroutines with the error they
// were handed: GCC 12 miscompiles exception handling inside them.
std::string describe(const std::exception_ptr& error);

// Mixed into an exception whose cause its source logs itself, once when it
// starts and once when it ends (a ledger database that went away): those it
// fails on the way (the server's 500, the budget check) pass it on without
// a line per call.
struct LoggedOutage {
    virtual ~LoggedOutage() = default;
};
bool is_logged_outage(const std::exception& error);

// A failure that repeats on every call while it lasts (a broken
// configuration, a ledger that cannot be read): logged when it starts or its
// message changes, and again only after a success in between.
struct RepeatedFailure {
    std::mutex mu;
    std::string last;
};

// Logs `prefix` + `error` on `logger` at WARNING unless it is the failure
// logged last.
void failed(RepeatedFailure& f, const std::string& logger, const std::string& prefix, const std::string& error);
// The same with a caught error's message; nothing for a logged outage.
void failed(RepeatedFailure& f, const std::string& logger, const std::string& prefix, const std::exception_ptr& error);
void succeeded(RepeatedFailure& f);

// What was logged so far and when, for lines that repeat (refused callers,
// failed deliveries).
struct OnceAMinute {
    std::mutex mu;
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> last;
};

// True the first time `what` is asked about, then again only once a minute
// has passed: lines that repeat are logged once per minute.
bool once_a_minute(OnceAMinute& log, const std::string& what);
// The same at the moment `now` (a caller with a clock of its own).
bool once_a_minute(OnceAMinute& log, const std::string& what, std::chrono::steady_clock::time_point now);

}  // namespace tokentally::logging
