#include "tokentally/logging.hpp"

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <mutex>

namespace tokentally::logging {

namespace {

struct _State {
    std::shared_ptr<spdlog::sinks::dist_sink_mt> sink;
    std::mutex mu;
    spdlog::level::level_enum level = spdlog::level::info;
};

_State& _state() {
    static _State* s = [] {
        auto* st = new _State;
        st->sink = std::make_shared<spdlog::sinks::dist_sink_mt>();
        auto console = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
        // Level and logger name on every line, as the operators read them.
        console->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%-7l%$ %n: %v");
        st->sink->add_sink(console);
        return st;
    }();
    return *s;
}

}  // namespace

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

}  // namespace tokentally::logging
