// JSON value helpers shared by every module: truthiness, the one writer, and
// the plain-text form of values used inside log lines.
#pragma once

#include <boost/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tokentally::json {

namespace bj = boost::json;

// A value is truthy when it is present and is not null, false, zero, an
// empty text, an empty array or an empty object.
bool truthy(const bj::value& v);
bool truthy(const bj::value* v);

struct WriteOptions {
    bool sort_keys = false;  // sort object keys at every level (cache keys)
};

// Writes `v` as JSON text with ", " and ": " separators, every non-ASCII
// character as a \u escape (surrogate pairs above the basic plane) and reals
// in their shortest round-trip form. Equal values always give equal text.
std::string write(const bj::value& v, WriteOptions opts = {});

// Shortest round-trip decimal form of a real with at least one decimal
// place where it is written in fixed notation: 2.5, 10.0, 0.15, 1e-05.
std::string format_real(double d);

// Plain-text form of a value inside a log line: integers as digits, reals by
// format_real, strings as they are, null or absent as "None", other values
// as their JSON text.
std::string display(const bj::value* v);
std::string display(const bj::value& v);

// SHA-256 of `data` as 64 lowercase hexadecimal digits: the cache keys.
std::string sha256_hex(std::string_view data);

// Parses `text` and returns the value when it is a JSON object; nullopt for
// empty input, a parse error or any other top-level value.
std::optional<bj::object> parse_object(std::string_view text);

// The member `key` of `v` when `v` is an object holding it, else nullptr.
const bj::value* member(const bj::value& v, std::string_view key);

// The member `key` of `obj` when present and itself an object; an empty
// object when absent. Throws when the member exists but is not an object.
const bj::object& table(const bj::object& obj, std::string_view key);

// The JSON form of a value that may be absent: null when it is.
template <class T>
bj::value or_null(const std::optional<T>& v) {
    return v ? bj::value(*v) : bj::value(nullptr);
}

// A total as SQL sums it: null, an integer or a real.
bj::value or_null(const std::variant<std::monostate, std::int64_t, double>& v);

// Numeric value as a double (integers converted); throws for other types
// with a message naming `what`.
double as_number(const bj::value& v, std::string_view what);

}  // namespace tokentally::json
