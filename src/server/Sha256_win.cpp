#include "server/Sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace orvane {

namespace {

// One provider for the process; a CNG algorithm handle may be shared.
BCRYPT_ALG_HANDLE Sha256Provider() {
    static const BCRYPT_ALG_HANDLE LProvider = [] {
        BCRYPT_ALG_HANDLE LHandle = nullptr;
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&LHandle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
            return BCRYPT_ALG_HANDLE{};
        }
        return LHandle;
    }();
    return LProvider;
}

class TCngSha256 : public TStreamHasher {
public:
    TCngSha256() {
        const BCRYPT_ALG_HANDLE LProvider = Sha256Provider();
        if (!LProvider ||
            !BCRYPT_SUCCESS(BCryptCreateHash(LProvider, &FHash, nullptr, 0, nullptr, 0, 0))) {
            throw std::runtime_error("SHA-256 digest failed");
        }
    }
    ~TCngSha256() override { BCryptDestroyHash(FHash); }
    TCngSha256(const TCngSha256&) = delete;
    TCngSha256& operator=(const TCngSha256&) = delete;

    void Update(const void* AData, std::size_t ASize) override {
        // BCryptHashData takes at most 4 GiB at a time.
        auto* LData = static_cast<PUCHAR>(const_cast<void*>(AData));
        while (ASize > 0) {
            const ULONG LChunk =
                static_cast<ULONG>(std::min<std::size_t>(ASize, std::numeric_limits<ULONG>::max()));
            if (!BCRYPT_SUCCESS(BCryptHashData(FHash, LData, LChunk, 0))) {
                throw std::runtime_error("SHA-256 digest failed");
            }
            LData += LChunk;
            ASize -= LChunk;
        }
    }

    std::string HexDigest() override {
        unsigned char LDigest[32];
        if (!BCRYPT_SUCCESS(BCryptFinishHash(FHash, LDigest, sizeof(LDigest), 0))) {
            throw std::runtime_error("SHA-256 digest failed");
        }
        return HexText(LDigest, sizeof(LDigest));
    }

private:
    BCRYPT_HASH_HANDLE FHash = nullptr;
};

} // namespace

std::unique_ptr<TStreamHasher> NewSha256Hasher() {
    return std::make_unique<TCngSha256>();
}

} // namespace orvane
