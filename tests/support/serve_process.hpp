// `tokentally serve` as a child process of the test, with its own HOME and
// data directory, on a free loopback port: for the tests that kill it or
// watch its descriptors and memory from /proc. Header-only.
#pragma once

#include "support/client.hpp"
#include "support/mock_server.hpp"

#include <boost/asio.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace tt_test {

// What the provider of the tests that drive a serve process answers: a
// three-event stream when the request asks for one, else a priced chat answer.
inline MockReply chat_or_stream(const Received& r) {
    MockReply reply;
    if (r.body.find("\"stream\": true") != std::string::npos) {
        reply.headers = {{"Content-Type", "text/event-stream"}};
        reply.chunks = {"data: {\"delta\": \"a\"}\n\n", "data: {\"delta\": \"b\"}\n\n", "data: [DONE]\n\n"};
    } else {
        reply.body = chat_answer();
    }
    return reply;
}

// A port nothing listens on right now (the kernel's pick for port 0).
inline std::uint16_t free_port() {
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor a(ioc, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return a.local_endpoint().port();
}

struct ServeProcess {
    pid_t pid = -1;
    std::uint16_t port = 0;
    std::string log_path;

    std::string host = "127.0.0.1";

    // Starts $TOKENTALLY_BIN serve (with `extra` arguments) and waits until
    // /health answers on `bind_host` (given to --host unless 127.0.0.1). An
    // empty `data` leaves TOKENTALLY_DATA_DIR unset: the process finds its
    // data directory by itself.
    ServeProcess(const std::string& home, const std::string& data, const std::string& log, int workers = 2,
                 const std::vector<std::string>& extra = {}, const std::string& bind_host = "127.0.0.1")
        : log_path(log), host(bind_host) {
        const char* bin = std::getenv("TOKENTALLY_BIN");
        if (bin == nullptr) throw std::runtime_error("TOKENTALLY_BIN is not set");
        port = free_port();
        std::vector<std::string> args{
            bin, "serve", "--port", std::to_string(port), "--workers", std::to_string(workers)};
        args.insert(args.end(), extra.begin(), extra.end());
        if (host != "127.0.0.1") args.insert(args.end(), {"--host", host});
        std::vector<std::string> env{"HOME=" + home};
        if (!data.empty()) env.push_back("TOKENTALLY_DATA_DIR=" + data);
        for (char** e = environ; *e != nullptr; ++e) {
            std::string s(*e);
            if (s.rfind("HOME=", 0) != 0 && s.rfind("TOKENTALLY_DATA_DIR=", 0) != 0) env.push_back(s);
        }
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        int rc = posix_spawn(&pid, bin, &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0) throw std::runtime_error("could not start " + std::string(bin));
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        for (;;) {
            try {
                if (call("GET", url() + "/health").status == 200) return;
            } catch (const std::exception&) {}
            if (std::chrono::steady_clock::now() > until) {
                kill_hard();
                throw std::runtime_error("tokentally serve did not come up on port " + std::to_string(port));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~ServeProcess() { kill_hard(); }
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    std::string url() const { return "http://" + host + ":" + std::to_string(port); }

    // kill -9, and reaps the process.
    void kill_hard() {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
    }

    // Descriptors the process holds open.
    int open_fds() const {
        int n = 0;
        for ([[maybe_unused]] const auto& entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
            ++n;
        return n;
    }

    // Resident memory in KiB.
    long rss_kib() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
        return -1;
    }
};

}  // namespace tt_test
