#include "server/Md5.h"
#include "server/Sha256.h"

#include <openssl/evp.h>

#include <memory>
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

namespace {

class TOpenSslSha256 : public TStreamHasher {
public:
    TOpenSslSha256() : FContext(EVP_MD_CTX_new()) {
        if (!FContext || EVP_DigestInit_ex(FContext, EVP_sha256(), nullptr) != 1) {
            EVP_MD_CTX_free(FContext);
            throw std::runtime_error("SHA-256 digest failed");
        }
    }
    ~TOpenSslSha256() override { EVP_MD_CTX_free(FContext); }
    TOpenSslSha256(const TOpenSslSha256&) = delete;
    TOpenSslSha256& operator=(const TOpenSslSha256&) = delete;

    void Update(const void* AData, std::size_t ASize) override {
        if (EVP_DigestUpdate(FContext, AData, ASize) != 1) {
            throw std::runtime_error("SHA-256 digest failed");
        }
    }

    std::string HexDigest() override {
        unsigned char LDigest[EVP_MAX_MD_SIZE];
        unsigned int LLength = 0;
        if (EVP_DigestFinal_ex(FContext, LDigest, &LLength) != 1) {
            throw std::runtime_error("SHA-256 digest failed");
        }
        return HexText(LDigest, LLength);
    }

private:
    EVP_MD_CTX* FContext;
};

} // namespace

std::unique_ptr<TStreamHasher> NewSha256Hasher() {
    return std::make_unique<TOpenSslSha256>();
}

} // namespace orvane
