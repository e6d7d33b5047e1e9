#include "tokentally/http/trust.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <boost/asio/ip/address.hpp>

#include <stdexcept>
#include <string>

namespace tokentally::http {

namespace ip = boost::asio::ip;

bool loopback_address(std::string_view text) {
    boost::system::error_code ec;
    ip::address address = ip::make_address(std::string(text), ec);
    if (ec) return false;
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return ip::make_address_v4(ip::v4_mapped, address.to_v6()).is_loopback();
    return address.is_loopback();
}

std::array<unsigned char, 32> sha256(std::string_view text) {
    std::array<unsigned char, 32> out{};
    unsigned int len = 0;
    if (EVP_Digest(text.data(), text.size(), out.data(), &len, EVP_sha256(), nullptr) != 1 || len != out.size())
        throw std::runtime_error("SHA-256 digest failed");
    return out;
}

bool same_secret(std::string_view presented, std::string_view secret) {
    auto a = sha256(presented);
    auto b = sha256(secret);
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace tokentally::http
