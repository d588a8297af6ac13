#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace orvane {

// RFC 1321 digest of the bytes of AText: CNG on Windows, OpenSSL's EVP elsewhere.
// Throws std::runtime_error when the system's cryptography refuses.
std::array<std::uint8_t, 16> Md5Digest(const std::string& AText);

} // namespace orvane
