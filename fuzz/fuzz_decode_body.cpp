// Compressed answer bodies from providers: decode_body on arbitrary bytes
// under each Content-Encoding either returns or throws a std::exception, and
// whatever zlib compresses (gzip, zlib-wrapped and raw deflate) comes back
// byte for byte.
#include "common.hpp"
#include "tokentally/http/client.hpp"

#include <zlib.h>

#include <cstdint>
#include <exception>
#include <string>

namespace http = tokentally::http;

namespace {

std::string _compress(const std::string& raw, int window_bits) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
    std::string out(deflateBound(&zs, raw.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    zs.avail_in = static_cast<uInt>(raw.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const char* const ENCODINGS[] = {"gzip", "x-gzip", "deflate", "br", "identity", "GZIP", "compress", ""};
    std::string_view encoding = ENCODINGS[data[0] % std::size(ENCODINGS)];
    std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    try {
        (void)http::decode_body(body, encoding);
    } catch (const std::exception&) {
        // A corrupt or unknown encoding is refused, which the caller reports.
    }

    struct {
        const char* encoding;
        int window_bits;
    } const round_trips[] = {{"gzip", 15 + 16}, {"deflate", 15}, {"deflate", -15}};
    for (const auto& rt : round_trips) {
        std::string packed = _compress(body, rt.window_bits);
        std::string back;
        try {
            back = http::decode_body(packed, rt.encoding);
        } catch (const std::exception& e) {
            fuzz::fail("decode_body refused what zlib compressed", body, e.what());
        }
        if (back != body) fuzz::fail("decode_body changed what zlib compressed", body, rt.encoding);
    }
    return 0;
}
