// What a server decides about who is asking: whether a peer is this machine,
// and whether a presented secret is the expected one. Below every layer that
// serves (the proxy's access rules, the web dashboard's token).
#pragma once

#include <array>
#include <string_view>

namespace tokentally::http {

// True for a loopback address in IPv4 or IPv6 form (an IPv4-mapped one by
// the IPv4 address inside); false for anything else, text that is not an
// address included.
bool loopback_address(std::string_view text);

// The SHA-256 digest of `text`: secrets are kept and compared as digests.
std::array<unsigned char, 32> sha256(std::string_view text);

// Whether `presented` equals `secret`, compared in constant time (over
// their digests, so that not even the length leaks).
bool same_secret(std::string_view presented, std::string_view secret);

}  // namespace tokentally::http
