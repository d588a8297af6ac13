#include "server/Md5.h"
#include "server/Sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane {

namespace {

// Opening a provider is the expensive part, and a CNG algorithm handle may be
// shared between threads: one per algorithm for the process.
BCRYPT_ALG_HANDLE OpenProvider(LPCWSTR AAlgorithm) {
    BCRYPT_ALG_HANDLE LHandle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&LHandle, AAlgorithm, nullptr, 0))) {
        return nullptr;
    }
    return LHandle;
}

class TCngHasher : public TStreamHasher {
public:
    TCngHasher(BCRYPT_ALG_HANDLE AProvider, std::size_t ADigestSize, std::string AName)
        : FDigestSize(ADigestSize), FName(std::move(AName)) {
        if (!AProvider ||
            !BCRYPT_SUCCESS(BCryptCreateHash(AProvider, &FHash, nullptr, 0, nullptr, 0, 0))) {
            throw std::runtime_error(FName + " digest failed");
        }
    }
    ~TCngHasher() override { BCryptDestroyHash(FHash); }
    TCngHasher(const TCngHasher&) = delete;
    TCngHasher& operator=(const TCngHasher&) = delete;

    void Update(const void* AData, std::size_t ASize) override {
        // BCryptHashData takes at most 4 GiB at a time.
        auto* LData = static_cast<PUCHAR>(const_cast<void*>(AData));
        while (ASize > 0) {
            const ULONG LChunk =
                static_cast<ULONG>(std::min<std::size_t>(ASize, std::numeric_limits<ULONG>::max()));
            if (!BCRYPT_SUCCESS(BCryptHashData(FHash, LData, LChunk, 0))) {
                throw std::runtime_error(FName + " digest failed");
            }
            LData += LChunk;
            ASize -= LChunk;
        }
    }

    std::vector<unsigned char> Finish() {
        std::vector<unsigned char> LDigest(FDigestSize);
        if (!BCRYPT_SUCCESS(
                BCryptFinishHash(FHash, LDigest.data(), static_cast<ULONG>(LDigest.size()), 0))) {
            throw std::runtime_error(FName + " digest failed");
        }
        return LDigest;
    }

    std::string HexDigest() override {
        const std::vector<unsigned char> LDigest = Finish();
        return HexText(LDigest.data(), LDigest.size());
    }

private:
    BCRYPT_HASH_HANDLE FHash = nullptr;
    std::size_t FDigestSize;
    std::string FName;
};

} // namespace

std::array<std::uint8_t, 16> Md5Digest(const std::string& AText) {
    static const BCRYPT_ALG_HANDLE LProvider = OpenProvider(BCRYPT_MD5_ALGORITHM);
    TCngHasher LHasher(LProvider, 16, "MD5");
    LHasher.Update(AText.data(), AText.size());
    const std::vector<unsigned char> LDigest = LHasher.Finish();
    std::array<std::uint8_t, 16> Result{};
    std::copy(LDigest.begin(), LDigest.end(), Result.begin());
    return Result;
}

std::unique_ptr<TStreamHasher> NewSha256Hasher() {
    static const BCRYPT_ALG_HANDLE LProvider = OpenProvider(BCRYPT_SHA256_ALGORITHM);
    return std::make_unique<TCngHasher>(LProvider, 32, "SHA-256");
}

} // namespace orvane
