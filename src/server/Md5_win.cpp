#include "server/Md5.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace orvane {

namespace {

// One provider for the process: opening it is the expensive part, and a CNG
// algorithm handle may be shared between threads.
BCRYPT_ALG_HANDLE Md5Provider() {
    static const BCRYPT_ALG_HANDLE LProvider = [] {
        BCRYPT_ALG_HANDLE LHandle = nullptr;
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&LHandle, BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
            return BCRYPT_ALG_HANDLE{};
        }
        return LHandle;
    }();
    return LProvider;
}

} // namespace

std::array<std::uint8_t, 16> Md5Digest(const std::string& AText) {
    std::array<std::uint8_t, 16> Result{};
    const BCRYPT_ALG_HANDLE LProvider = Md5Provider();
    BCRYPT_HASH_HANDLE LHash = nullptr;
    if (!LProvider ||
        !BCRYPT_SUCCESS(BCryptCreateHash(LProvider, &LHash, nullptr, 0, nullptr, 0, 0))) {
        throw std::runtime_error("MD5 digest failed");
    }
    bool LOk = true;
    // BCryptHashData takes at most 4 GiB at a time.
    const char* LData = AText.data();
    std::size_t LLeft = AText.size();
    while (LOk && LLeft > 0) {
        const ULONG LChunk =
            static_cast<ULONG>(std::min<std::size_t>(LLeft, std::numeric_limits<ULONG>::max()));
        LOk = BCRYPT_SUCCESS(
            BCryptHashData(LHash, reinterpret_cast<PUCHAR>(const_cast<char*>(LData)), LChunk, 0));
        LData += LChunk;
        LLeft -= LChunk;
    }
    LOk = LOk && BCRYPT_SUCCESS(
                     BCryptFinishHash(LHash, Result.data(), static_cast<ULONG>(Result.size()), 0));
    BCryptDestroyHash(LHash);
    if (!LOk) {
        throw std::runtime_error("MD5 digest failed");
    }
    return Result;
}

} // namespace orvane
