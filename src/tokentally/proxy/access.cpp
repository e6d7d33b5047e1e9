#include "tokentally/proxy/access.hpp"

#include "tokentally/accounting/catalog.hpp"
#include "tokentally/base/config.hpp"
#include "tokentally/base/json.hpp"
#include "tokentally/base/logging.hpp"
#include "tokentally/http/trust.hpp"

#include <fmt/format.h>
#include <openssl/crypto.h>
#include <boost/url.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tokentally::access {

namespace bj = boost::json;
namespace ip = boost::asio::ip;

namespace {

// ---- allowed targets --------------------------------------------------------

bool _ip_literal(const std::string& host) {
    boost::system::error_code ec;
    ip::make_address(host, ec);
    return !ec;
}

bool _matches(const TargetRule& rule, const http::Origin& origin) {
    if (rule.scheme != origin.scheme || rule.port != origin.port) return false;
    std::string host = http::lower(origin.host);
    if (!rule.wildcard) return host == rule.host;
    // "*." stands for one or more whole labels, never for nothing and never
    // for the octets of an address.
    return host.size() > rule.host.size() + 1 && host.ends_with("." + rule.host) && !_ip_literal(host);
}

// The entry has nothing but a scheme, a host and a port ("/" allowed).
void _only_an_origin(const std::string& entry) {
    auto parsed = boost::urls::parse_uri(entry);
    if (!parsed) throw std::runtime_error("not a URL");
    const auto& u = *parsed;
    if (u.has_userinfo() || u.has_query() || u.has_fragment() || (!u.path().empty() && u.path() != "/"))
        throw std::runtime_error("only a scheme, a host and a port may be given");
}

std::vector<TargetRule> _configured_targets(const bj::value& setting) {
    if (!setting.is_array()) throw std::runtime_error("[proxy] allowed_targets is not a list: " + json::write(setting));
    if (setting.get_array().empty())
        throw std::runtime_error("[proxy] allowed_targets is empty: list the targets calls may go to, or remove it");
    std::vector<TargetRule> rules;
    for (const bj::value& entry : setting.get_array()) {
        if (!entry.is_string())
            throw std::runtime_error("[proxy] allowed_targets holds a value that is not a text: " + json::write(entry));
        rules.push_back(parse_rule(std::string(entry.get_string())));
    }
    return rules;
}

// Names a loopback server also answers to (a name in /etc/hosts, say).
std::vector<std::string> _host_names(const bj::value& setting) {
    if (!setting.is_array()) throw std::runtime_error("[proxy] allowed_hosts is not a list: " + json::write(setting));
    std::vector<std::string> names;
    for (const bj::value& entry : setting.get_array()) {
        if (!entry.is_string() || entry.get_string().empty())
            throw std::runtime_error("[proxy] allowed_hosts holds a value that is not a host name: " +
                                     json::write(entry));
        names.emplace_back(entry.get_string());
    }
    return names;
}

// ---- client keys ------------------------------------------------------------

std::string _trimmed(std::string_view s) {
    auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return "";
    auto last = s.find_last_not_of(" \t\r");
    return std::string(s.substr(first, last - first + 1));
}

std::string _expand_home(const std::string& path) {
    if (path != "~" && !path.starts_with("~/")) return path;
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + path.substr(1);
}

// Why a keys file with this status may not be used; empty when it may.
std::string _not_private(const struct stat& st, const std::string& path) {
    if (!S_ISREG(st.st_mode)) return " is not a regular file";
    if ((st.st_mode & 077) == 0) return "";
    return fmt::format(" may be read or changed by other users (mode {:04o}); run: chmod 600 {}", st.st_mode & 07777,
                       path);
}

// The file's text, read through the descriptor whose mode was checked, so
// that the file cannot be swapped in between.
std::string _read_private_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot read client keys file " + path + ": " + std::strerror(errno));
    struct stat st {};
    std::string problem = ::fstat(fd, &st) != 0 ? std::string(": ") + std::strerror(errno) : _not_private(st, path);
    std::string text;
    char buf[4096];
    ssize_t n = 0;
    while (problem.empty() && (n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    if (n < 0) problem = std::string(": ") + std::strerror(errno);
    ::close(fd);
    if (!problem.empty()) throw std::runtime_error("client keys file " + path + problem);
    return text;
}

// One "name:key" line; `where` names the file and line in errors, which
// never show the key.
ClientKey _key_line(const std::string& line, const std::string& where) {
    auto colon = line.find(':');
    if (colon == std::string::npos) throw std::runtime_error(where + ": expected name:key");
    std::string secret = _trimmed(line.substr(colon + 1));
    ClientKey key{_trimmed(line.substr(0, colon)), http::sha256(secret)};
    if (key.name.empty()) throw std::runtime_error(where + ": the key has no name");
    if (secret.size() < MIN_KEY_LENGTH)
        throw std::runtime_error(
            fmt::format("{}: the key of {} is shorter than {} characters", where, key.name, MIN_KEY_LENGTH));
    return key;
}

// One "name:key" a line; blank lines and lines starting with # are skipped.
std::vector<ClientKey> _parse_keys(const std::string& text, const std::string& path) {
    std::vector<ClientKey> keys;
    std::size_t line_no = 0;
    for (std::size_t start = 0; start <= text.size(); ++line_no) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        std::string line = _trimmed(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == '#') continue;
        auto where = fmt::format("client keys file {} line {}", path, line_no + 1);
        ClientKey key = _key_line(line, where);
        for (const auto& other : keys)
            if (other.digest == key.digest)
                throw std::runtime_error(where + ": the same key is listed for " + other.name + " already");
        keys.push_back(std::move(key));
    }
    if (keys.empty()) throw std::runtime_error("client keys file " + path + " lists no key");
    return keys;
}

// The configuration, read once for the server's life. On loopback a file
// that cannot be read is what it always was, a warning that leaves the
// defaults in force; a server other machines reach does not start on
// settings it could not read.
std::shared_ptr<const bj::object> _settings(bool loopback) {
    try {
        return config::load_shared();
    } catch (const std::exception& e) {
        if (!loopback) throw;
        logging::get("tokentally.proxy")
            ->warn("[proxy] settings not read, serving without client keys or allowed targets: {}", e.what());
        return std::make_shared<const bj::object>();
    }
}

std::string _rules_text(const std::vector<TargetRule>& rules) {
    std::string out;
    for (const auto& r : rules) {
        bool default_port = r.port == (r.scheme == "https" ? "443" : "80");
        out += fmt::format("{}{}://{}{}{}", out.empty() ? "" : ", ", r.scheme, r.wildcard ? "*." : "",
                           r.host.find(':') != std::string::npos ? "[" + r.host + "]" : r.host,
                           default_port ? "" : ":" + r.port);
    }
    return out;
}

// Listed by name by the operator, under any scheme or port.
bool _trusted(const Access& access, const std::string& host) {
    return std::any_of(access.targets->begin(), access.targets->end(),
                       [&](const TargetRule& r) { return r.trusted && r.host == host; });
}

}  // namespace

TargetRule parse_rule(const std::string& entry) {
    TargetRule rule;
    try {
        _only_an_origin(entry);
        http::Origin origin = http::url_origin(entry);
        rule.scheme = origin.scheme;
        rule.host = http::lower(origin.host);
        rule.port = origin.port;
    } catch (const std::exception& e) {
        throw std::runtime_error("[proxy] allowed_targets entry '" + entry + "': " + e.what());
    }
    if (rule.host.starts_with("*.")) {
        rule.wildcard = true;
        rule.host.erase(0, 2);
    }
    if (rule.host.empty() || rule.host.find('*') != std::string::npos)
        throw std::runtime_error("[proxy] allowed_targets entry '" + entry +
                                 "': '*.' may only stand first, "
                                 "before the rest of a host name");
    rule.trusted = !rule.wildcard;
    return rule;
}

std::vector<TargetRule> built_in_targets(const std::string& ollama_base) {
    std::vector<TargetRule> rules;
    // Provider names are looked up like any other: should one resolve to an
    // internal address, the address check refuses it.
    for (std::string_view base : catalog::PROVIDER_BASES) {
        rules.push_back(parse_rule(std::string(base)));
        rules.back().trusted = false;
    }
    // The Ollama base is the operator's own setting, like a listed target.
    http::Origin ollama;
    try {
        ollama = http::url_origin(ollama_base);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("local.ollama_base_url: ") + e.what());
    }
    rules.push_back(TargetRule{ollama.scheme, http::lower(ollama.host), ollama.port, false, true});
    return rules;
}

Access load(bool loopback, const std::function<std::string()>& ollama_base) {
    Access access;
    access.loopback = loopback;
    auto settings = _settings(loopback);
    const bj::object& proxy = json::table(*settings, "proxy");
    if (const bj::value* targets = proxy.if_contains("allowed_targets")) {
        access.targets = _configured_targets(*targets);
    } else if (!loopback) {
        access.targets = built_in_targets(ollama_base());
        access.built_in_targets = true;
    }
    if (const bj::value* hosts = proxy.if_contains("allowed_hosts")) access.allowed_hosts = _host_names(*hosts);
    if (const bj::value* file = proxy.if_contains("client_keys_file")) {
        if (!file->is_string() || file->get_string().empty())
            throw std::runtime_error("[proxy] client_keys_file is not a file name: " + json::write(*file));
        access.keys_file = _expand_home(std::string(file->get_string()));
        access.keys = _parse_keys(_read_private_file(access.keys_file), access.keys_file);
    }
    return access;
}

std::optional<std::string> target_refusal(const Access& access, const std::string& url) {
    if (!access.targets) return std::nullopt;
    http::Origin origin;
    try {
        origin = http::url_origin(url);
    } catch (const std::exception& e) {
        return std::string(e.what());
    }
    for (const auto& rule : *access.targets)
        if (_matches(rule, origin)) return std::nullopt;
    return access.built_in_targets ? "neither a known provider nor the Ollama base; set [proxy] allowed_targets "
                                     "to allow it"
                                   : "not in [proxy] allowed_targets";
}

bool internal_address(const ip::address& address) {
    if (address.is_v6()) {
        ip::address_v6 v6 = address.to_v6();
        auto b = v6.to_bytes();
        if (v6.is_v4_mapped()) return internal_address(ip::make_address_v4(ip::v4_mapped, v6));
        // NAT64 (64:ff9b::/96) reaches the IPv4 address in its last four bytes.
        static const std::array<unsigned char, 12> NAT64{0x00, 0x64, 0xff, 0x9b};
        if (std::equal(NAT64.begin(), NAT64.end(), b.begin()))
            return internal_address(ip::address_v4(ip::address_v4::bytes_type{b[12], b[13], b[14], b[15]}));
        bool unique_local = (b[0] & 0xfe) == 0xfc;
        return v6.is_unspecified() || v6.is_loopback() || v6.is_link_local() || v6.is_site_local() ||
               v6.is_multicast() || unique_local;
    }
    std::uint32_t a = address.to_v4().to_uint();
    auto in = [a](std::uint32_t net, int bits) { return (a >> (32 - bits)) == (net >> (32 - bits)); };
    return in(0x00000000, 8) || in(0x0a000000, 8) || in(0x7f000000, 8) || in(0xa9fe0000, 16) || in(0xac100000, 12) ||
           in(0xc0a80000, 16) || in(0x64400000, 10) || in(0xe0000000, 3);
}

http::AddressCheck address_check(std::shared_ptr<const Access> access) {
    if (access->loopback || !access->targets) return {};
    return [access](const std::string& host, const std::vector<ip::address>& addresses) {
        if (_trusted(*access, http::lower(host))) return;
        for (const auto& a : addresses)
            if (internal_address(a))
                throw TargetRefused("resolves to the internal address " + a.to_string() +
                                    "; list the host in [proxy] allowed_targets to allow it");
    };
}

std::optional<std::string> key_name(const Access& access, std::string_view presented) {
    auto digest = http::sha256(presented);
    const ClientKey* match = nullptr;
    for (const auto& key : access.keys)
        if (CRYPTO_memcmp(key.digest.data(), digest.data(), digest.size()) == 0) match = &key;
    if (match == nullptr) return std::nullopt;
    return match->name;
}

std::string describe(const Access& access) {
    std::string where = !access.targets ? "calls may go to any target"
                        : access.built_in_targets
                            ? "calls may go only to the known provider hosts and the Ollama base (" +
                                  _rules_text(*access.targets) + "); set [proxy] allowed_targets to change this"
                            : "calls may go only to " + _rules_text(*access.targets);
    std::string who = access.keys.empty() ? "no key is needed"
                                          : fmt::format("every call but /health needs an {} listed in {} ({} listed)",
                                                        KEY_HEADER, access.keys_file, access.keys.size());
    return where + "; " + who;
}

}  // namespace tokentally::access
