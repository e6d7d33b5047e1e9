// Time to first event and per-event relay lag of a streamed answer, for the
// paced streams of mock_provider (/timed/...), whose events carry the
// monotonic time at which they left the provider. Runs N requests one after
// another and prints the median time to first event, and the median and p99
// lag of every event (the time it reached this client minus the time it left
// the provider), in microseconds.
//
//   stream_lag PORT PATH N [HEADER: VALUE]...
#include <boost/asio.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

const std::string BODY =
    R"({"model": "gpt-4o-mini", "stream": true, "messages": [{"role": "user", "content": "Say hello."}]})";

std::int64_t _now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Sample {
    double first_event_us = -1;
    std::vector<double> lags_us;
};

// The stamps of the events completed in `pending` (each ends with a blank
// line), removed from it; the unfinished rest stays for the next read.
void _take_stamps(std::string& pending, std::int64_t arrived, Sample& out) {
    std::size_t end;
    while ((end = pending.find("\n\n")) != std::string::npos) {
        std::size_t t = pending.find("\"t\":");
        if (t != std::string::npos && t < end)
            out.lags_us.push_back(static_cast<double>(arrived - std::stoll(pending.substr(t + 4))) / 1000.0);
        pending.erase(0, end + 2);
    }
}

Sample _one(std::uint16_t port, const std::string& path, const std::vector<std::string>& headers) {
    asio::io_context ioc;
    tcp::socket sock(ioc);
    sock.connect({asio::ip::make_address("127.0.0.1"), port});
    sock.set_option(tcp::no_delay(true));
    std::string req = "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                      "Content-Type: application/json\r\nContent-Length: " + std::to_string(BODY.size()) + "\r\n";
    for (const auto& h : headers) req += h + "\r\n";
    req += "\r\n" + BODY;
    Sample s;
    std::int64_t sent = _now_ns();
    asio::write(sock, asio::buffer(req));
    std::string pending;
    char buf[16384];
    for (;;) {
        boost::system::error_code ec;
        std::size_t n = sock.read_some(asio::buffer(buf), ec);
        std::int64_t arrived = _now_ns();
        if (n > 0) {
            pending.append(buf, n);
            if (s.first_event_us < 0 && pending.find("data:") != std::string::npos)
                s.first_event_us = static_cast<double>(arrived - sent) / 1000.0;
            _take_stamps(pending, arrived, s);
        }
        if (ec) break;
    }
    return s;
}

double _quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::cerr << "usage: stream_lag PORT PATH N [HEADER: VALUE]...\n";
        return 2;
    }
    auto port = static_cast<std::uint16_t>(std::atoi(argv[1]));
    std::string path = argv[2];
    int n = std::atoi(argv[3]);
    std::vector<std::string> headers(argv + 4, argv + argc);
    std::vector<double> first, lags;
    for (int i = 0; i < n; ++i) {
        Sample s = _one(port, path, headers);
        if (s.first_event_us >= 0) first.push_back(s.first_event_us);
        lags.insert(lags.end(), s.lags_us.begin(), s.lags_us.end());
    }
    std::printf("first_event_us=%.0f lag_p50_us=%.0f lag_p99_us=%.0f events=%zu\n", _quantile(first, 0.5),
                _quantile(lags, 0.5), _quantile(lags, 0.99), lags.size());
}
