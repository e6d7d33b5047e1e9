#include "tokentally/base/json.hpp"

#include <fmt/format.h>
#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <vector>

namespace tokentally::json {

bool truthy(const bj::value& v) {
    switch (v.kind()) {
        case bj::kind::null:
            return false;
        case bj::kind::bool_:
            return v.get_bool();
        case bj::kind::int64:
            return v.get_int64() != 0;
        case bj::kind::uint64:
            return v.get_uint64() != 0;
        case bj::kind::double_:
            return v.get_double() != 0.0;
        case bj::kind::string:
            return !v.get_string().empty();
        case bj::kind::array:
            return !v.get_array().empty();
        case bj::kind::object:
            return !v.get_object().empty();
    }
    return false;
}

bool truthy(const bj::value* v) { return v != nullptr && truthy(*v); }

namespace {

// The digits of a real written in scientific notation ("-1.25e-05": "125",
// exponent -5, negative).
struct Scientific {
    std::string digits;
    int exp = 0;
    bool neg = false;
};

Scientific _scientific(std::string_view sci) {
    Scientific out;
    auto epos = sci.find('e');
    std::string_view mant = sci.substr(0, epos);
    out.exp = std::stoi(std::string(sci.substr(epos + 1)));
    out.neg = mant[0] == '-';
    if (out.neg) mant.remove_prefix(1);
    for (char c : mant)
        if (c != '.') out.digits += c;
    return out;
}

// `digits` with the point placed for exponent `exp`, in fixed notation:
// "0.000125", "125000", "12.5" (an integer gets no point).
std::string _fixed(const std::string& digits, int exp) {
    if (exp < 0) return "0." + std::string(-exp - 1, '0') + digits;
    if (static_cast<int>(digits.size()) <= exp + 1) return digits + std::string(exp + 1 - digits.size(), '0');
    return digits.substr(0, exp + 1) + "." + digits.substr(exp + 1);
}

}  // namespace

std::string format_real(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
    // Shortest digits first, then lay them out the way a round-trip repr
    // does: fixed notation for exponents in [-4, 16), scientific otherwise.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    auto [digits, exp, neg] = _scientific(std::string_view(buf, res.ptr - buf));
    std::string out;
    if (exp >= -4 && exp < 16) {
        out = _fixed(digits, exp);
        if (out.find('.') == std::string::npos) out += ".0";
    } else {
        out = digits.substr(0, 1);
        if (digits.size() > 1) out += "." + digits.substr(1);
        std::string mag = std::to_string(std::abs(exp));
        out += std::string("e") + (exp < 0 ? "-" : "+") + (mag.size() < 2 ? "0" : "") + mag;
    }
    return neg ? "-" + out : out;
}

std::string plain_decimal(double d, int significant) {
    if (!std::isfinite(d)) throw std::invalid_argument(fmt::format("not a finite amount: {}", d));
    if (significant < 1) throw std::invalid_argument(fmt::format("significant digits below 1: {}", significant));
    if (d == 0) return "0";  // -0.0 too
    // Rounded once, to the digits asked for; trailing zeros say nothing.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific, significant - 1);
    auto [digits, exp, neg] = _scientific(std::string_view(buf, res.ptr - buf));
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string out = _fixed(digits, exp);
    return neg ? "-" + out : out;
}

namespace {

// Printable ASCII other than the quote and the backslash: written as it is,
// a run at a time (the bodies relayed on every call are mostly this).
bool _plain(char c) {
    auto u = static_cast<unsigned char>(c);
    return u >= 0x20 && u < 0x80 && c != '"' && c != '\\';
}

void _write_string(std::string& out, std::string_view s) {
    out += '"';
    for (size_t i = 0; i < s.size();) {
        size_t run = i;
        while (run < s.size() && _plain(s[run])) ++run;
        out.append(s.substr(i, run - i));
        if ((i = run) == s.size()) break;
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                case '\b':
                    out += "\\b";
                    break;
                case '\f':
                    out += "\\f";
                    break;
                default: {  // the other control characters
                    char e[8];
                    std::snprintf(e, sizeof e, "\\u%04x", c);
                    out += e;
                }
            }
            ++i;
            continue;
        }
        // Decode one UTF-8 sequence; Boost.JSON only hands us valid UTF-8,
        // but a stray byte is written as its own escape rather than dropped.
        int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        uint32_t cp = len == 4 ? c & 0x07 : len == 3 ? c & 0x0F : len == 2 ? c & 0x1F : c;
        if (len == 1 || i + len > s.size()) {
            len = 1;
            cp = c;
        } else {
            for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        char e[16];
        if (cp >= 0x10000) {
            cp -= 0x10000;
            std::snprintf(e, sizeof e, "\\u%04x\\u%04x", 0xD800 + (cp >> 10), 0xDC00 + (cp & 0x3FF));
        } else {
            std::snprintf(e, sizeof e, "\\u%04x", cp);
        }
        out += e;
        i += len;
    }
    out += '"';
}

void _write_value(std::string& out, const bj::value& v, const WriteOptions& opts) {
    switch (v.kind()) {
        case bj::kind::null:
            out += "null";
            return;
        case bj::kind::bool_:
            out += v.get_bool() ? "true" : "false";
            return;
        case bj::kind::int64:
            out += std::to_string(v.get_int64());
            return;
        case bj::kind::uint64:
            out += std::to_string(v.get_uint64());
            return;
        case bj::kind::double_:
            out += format_real(v.get_double());
            return;
        case bj::kind::string:
            _write_string(out, v.get_string());
            return;
        case bj::kind::array: {
            out += '[';
            bool first = true;
            for (const auto& item : v.get_array()) {
                if (!first) out += ", ";
                first = false;
                _write_value(out, item, opts);
            }
            out += ']';
            return;
        }
        case bj::kind::object: {
            const auto& obj = v.get_object();
            std::vector<const bj::key_value_pair*> items;
            items.reserve(obj.size());
            for (const auto& kv : obj) items.push_back(&kv);
            if (opts.sort_keys)
                std::sort(items.begin(), items.end(), [](auto* a, auto* b) { return a->key() < b->key(); });
            out += '{';
            bool first = true;
            for (const auto* kv : items) {
                if (!first) out += ", ";
                first = false;
                _write_string(out, kv->key());
                out += ": ";
                _write_value(out, kv->value(), opts);
            }
            out += '}';
            return;
        }
    }
}

}  // namespace

std::string write(const bj::value& v, WriteOptions opts) {
    std::string out;
    _write_value(out, v, opts);
    return out;
}

std::string display(const bj::value* v) {
    if (v == nullptr || v->is_null()) return "None";
    if (v->is_string()) return std::string(v->get_string());
    if (v->is_bool()) return v->get_bool() ? "True" : "False";
    return write(*v);
}

std::string display(const bj::value& v) { return display(&v); }

std::string sha256_hex(std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 digest failed for a text of " + std::to_string(data.size()) + " bytes");
    std::string hex;
    for (unsigned int i = 0; i < len; ++i) hex += fmt::format("{:02x}", digest[i]);
    return hex;
}

std::optional<bj::object> parse_object(std::string_view text) {
    if (text.empty()) return std::nullopt;
    boost::system::error_code ec;
    bj::value v = bj::parse(text, ec);
    if (ec || !v.is_object()) return std::nullopt;
    return std::move(v.get_object());
}

const bj::value* member(const bj::value& v, std::string_view key) {
    if (!v.is_object()) return nullptr;
    return v.get_object().if_contains(key);
}

const bj::object& table(const bj::object& obj, std::string_view key) {
    static const bj::object EMPTY;
    const bj::value* v = obj.if_contains(key);
    if (v == nullptr) return EMPTY;
    if (!v->is_object()) throw std::runtime_error("'" + std::string(key) + "' is not a table: " + write(*v));
    return v->get_object();
}

double as_number(const bj::value& v, std::string_view what) {
    if (v.is_int64()) return static_cast<double>(v.get_int64());
    if (v.is_uint64()) return static_cast<double>(v.get_uint64());
    if (v.is_double()) return v.get_double();
    throw std::runtime_error(std::string(what) + " is not a number: " + write(v));
}

bj::value or_null(const std::variant<std::monostate, std::int64_t, double>& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
    if (const auto* d = std::get_if<double>(&v)) return *d;
    return nullptr;
}

}  // namespace tokentally::json
