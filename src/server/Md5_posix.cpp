#include "server/Md5.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace orvane {

std::array<std::uint8_t, 16> Md5Digest(const std::string& AText) {
    std::array<std::uint8_t, 16> Result{};
    unsigned int LLength = 0;
    if (EVP_Digest(AText.data(), AText.size(), Result.data(), &LLength, EVP_md5(), nullptr) != 1 ||
        LLength != Result.size()) {
        throw std::runtime_error("MD5 digest failed");
    }
    return Result;
}

} // namespace orvane
