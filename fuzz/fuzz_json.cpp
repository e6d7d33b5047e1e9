// The one JSON writer against whatever Boost.JSON accepts: the text it
// writes must parse back to an equal value (in key order and sorted), be
// pure ASCII, come out the same when written again, and the sorted text
// must not depend on the order the keys arrived in. Reals get their own
// round trip through format_real, since parsed text seldom reaches its
// corner cases (subnormals, exponent boundaries, negative zero).
#include "common.hpp"
#include "tokentally/base/json.hpp"

#include <boost/json.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace bj = boost::json;
namespace json = tokentally::json;

namespace {

// Which reals a value holds. Boost.JSON reads 1e400 as infinity; the writer
// then writes "Infinity", which no strict JSON reader (Boost.JSON included)
// takes back, so such values are only written, not round-tripped.
struct _Reals {
    bool any = false;
    bool non_finite = false;
};

void _scan(const bj::value& v, _Reals& r) {
    if (v.is_double()) {
        r.any = true;
        r.non_finite |= !std::isfinite(v.get_double());
    } else if (v.is_array()) {
        for (const auto& item : v.get_array()) _scan(item, r);
    } else if (v.is_object()) {
        for (const auto& kv : v.get_object()) _scan(kv.value(), r);
    }
}

// Boost.JSON 1.81 converts decimal text to a real within an ulp or two
// rather than exactly (the precise mode came in 1.83), so reals read back
// from the writer's exact shortest text may differ by that much.
bool _close(double a, double b) {
    double x = a;
    for (int step = 0; step < 2 && x != b; ++step) x = std::nextafter(x, b);
    return x == b;
}

bool _same(const bj::value& a, const bj::value& b) {
    if (a.is_double() && b.is_double()) return _close(a.get_double(), b.get_double());
    if (a.is_array() && b.is_array()) {
        const auto &x = a.get_array(), &y = b.get_array();
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i)
            if (!_same(x[i], y[i])) return false;
        return true;
    }
    if (a.is_object() && b.is_object()) {
        const auto &x = a.get_object(), &y = b.get_object();
        if (x.size() != y.size()) return false;
        for (const auto& kv : x) {
            const bj::value* other = y.if_contains(kv.key());
            if (other == nullptr || !_same(kv.value(), *other)) return false;
        }
        return true;
    }
    return a == b;
}

// The same value with the keys of every object in reverse order.
bj::value _reversed(const bj::value& v) {
    if (v.is_array()) {
        bj::array out;
        for (const auto& item : v.get_array()) out.push_back(_reversed(item));
        return out;
    }
    if (v.is_object()) {
        const auto& obj = v.get_object();
        bj::object out;
        for (auto it = obj.end(); it != obj.begin();) {
            --it;
            out[it->key()] = _reversed(it->value());
        }
        return out;
    }
    return v;
}

void _check_real(const uint8_t* data, size_t size) {
    if (size < sizeof(double)) return;
    double d;
    std::memcpy(&d, data, sizeof d);
    std::string text = json::format_real(d);
    if (!std::isfinite(d)) return;
    std::string_view input(reinterpret_cast<const char*>(data), sizeof d);
    if (std::strtod(text.c_str(), nullptr) != d || std::signbit(std::strtod(text.c_str(), nullptr)) != std::signbit(d))
        fuzz::fail("format_real does not read back as the same real", input, text);
    if (text.find_first_of(".e") == std::string::npos)
        fuzz::fail("format_real wrote a real without a decimal point or exponent", input, text);
    boost::system::error_code ec;
    bj::value back = bj::parse(text, ec);
    if (ec || !back.is_double() || !_close(back.get_double(), d))
        fuzz::fail("format_real is not JSON for the same real", input, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    _check_real(data, size);

    // Promised never to throw, whatever the text: bodies go through it.
    (void)json::parse_object(input);

    boost::system::error_code ec;
    bj::value v = bj::parse(input, ec);
    if (ec) return 0;
    (void)json::display(v);
    (void)json::truthy(v);
    _Reals reals;
    _scan(v, reals);
    if (reals.non_finite) {
        (void)json::write(v);
        (void)json::write(v, {.sort_keys = true});
        return 0;
    }
    for (bool sorted : {false, true}) {
        std::string text = json::write(v, {.sort_keys = sorted});
        for (char c : text)
            if (static_cast<unsigned char>(c) >= 0x80) fuzz::fail("writer left a non-ASCII byte", input, text);
        bj::value back = bj::parse(text, ec);
        if (ec) fuzz::fail("writer produced text that does not parse", input, text);
        if (!_same(back, v)) fuzz::fail("round trip changed the value", input, text);
        if (!reals.any && json::write(back, {.sort_keys = sorted}) != text)
            fuzz::fail("writing the parsed text again gives other text", input, text);
    }
    if (json::write(_reversed(v), {.sort_keys = true}) != json::write(v, {.sort_keys = true}))
        fuzz::fail("sorted text depends on key order", input, json::write(v, {.sort_keys = true}));
    return 0;
}
