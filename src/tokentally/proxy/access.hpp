// Who may call the proxy and where it may forward: the client keys and the
// allowed targets of the [proxy] table, read once when the server starts.
// A server on loopback without these settings lets every local caller
// forward anywhere; a server that other machines reach forwards only to
// known provider hosts, and never to an internal address they did not list.
#pragma once

#include "tokentally/http/client.hpp"

#include <boost/asio/ip/address.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tokentally::access {

// Shortest key accepted in a client keys file.
inline constexpr std::size_t MIN_KEY_LENGTH = 24;

// The header a caller presents its key in.
inline constexpr std::string_view KEY_HEADER = "X-Tokentally-Key";

// One entry of the allowed targets: a scheme, a host and a port.
struct TargetRule {
    std::string scheme;
    std::string host;       // lower case; for a wildcard, what follows "*."
    std::string port;       // the scheme's default when the entry names none
    bool wildcard = false;  // "*.host": one or more labels in front of `host`
    bool trusted = false;   // listed by name by the operator: may resolve to internal addresses
};

struct ClientKey {
    std::string name;
    std::array<unsigned char, 32> digest;  // SHA-256 of the key; the key itself is not kept
};

struct Access {
    bool loopback = true;
    std::optional<std::vector<TargetRule>> targets;  // none: any target
    bool built_in_targets = false;                   // `targets` is the default list, not the setting
    std::vector<ClientKey> keys;                     // empty: no key needed
    std::string keys_file;
    std::vector<std::string> allowed_hosts;  // Host names a loopback server answers besides its own
};

// The settings for a server bound to loopback or not. `ollama_base` is
// asked only when the built-in list applies (a network server without
// allowed_targets). Throws, naming the setting or the file and line, for a
// value it cannot use: the server must not start on settings it misread.
Access load(bool loopback, const std::function<std::string()>& ollama_base);

// What a proxy on the network forwards to without allowed_targets: the
// hosts of the providers the price catalog knows, and the Ollama base.
std::vector<TargetRule> built_in_targets(const std::string& ollama_base);

// Parses one allowed_targets entry, trusted unless it is a wildcard. Throws
// for anything but a scheme, a host (with "*." as its first label at most)
// and a port.
TargetRule parse_rule(const std::string& entry);

// Why the proxy may not forward to `url`, or none when it may. Decided on
// the URL alone: nothing is resolved or sent.
std::optional<std::string> target_refusal(const Access& access, const std::string& url);

// Loopback, link-local, private, shared (100.64/10), unspecified, multicast
// and reserved addresses, in IPv4 or IPv6 form (IPv4-mapped and NAT64
// addresses by the IPv4 address inside).
bool internal_address(const boost::asio::ip::address& address);

// Thrown by the address check: the target resolved to an internal address.
struct TargetRefused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The upstream client's check for a network server: a host that is not
// trusted must resolve to no internal address. Empty on loopback, where
// every address may be reached.
http::AddressCheck address_check(std::shared_ptr<const Access> access);

// The name of the listed key equal to `presented`, or none. Every listed key
// is compared, each in constant time.
std::optional<std::string> key_name(const Access& access, std::string_view presented);

// One line for the start-up log: where calls may go and whether they need a key.
std::string describe(const Access& access);

}  // namespace tokentally::access
