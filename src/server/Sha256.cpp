#include "server/Sha256.h"

#include <openssl/evp.h>

#include <fstream>
#include <stdexcept>
#include <vector>

namespace orvane {

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
        static const char CHex[] = "0123456789abcdef";
        std::string LText;
        for (unsigned int LIndex = 0; LIndex < LLength; ++LIndex) {
            LText += CHex[LDigest[LIndex] >> 4];
            LText += CHex[LDigest[LIndex] & 15];
        }
        return LText;
    }

private:
    EVP_MD_CTX* FContext;
};

} // namespace

std::unique_ptr<TStreamHasher> NewSha256Hasher() {
    return std::make_unique<TOpenSslSha256>();
}

std::string Sha256OfFile(const std::filesystem::path& AFile) {
    std::ifstream LIn(AFile, std::ios::binary);
    if (!LIn) {
        throw std::runtime_error("Cannot read \"" + AFile.string() + "\"");
    }
    auto LHasher = NewSha256Hasher();
    std::vector<char> LBuffer(1 << 16);
    while (LIn) {
        LIn.read(LBuffer.data(), static_cast<std::streamsize>(LBuffer.size()));
        LHasher->Update(LBuffer.data(), static_cast<std::size_t>(LIn.gcount()));
    }
    if (LIn.bad()) {
        throw std::runtime_error("Cannot read \"" + AFile.string() + "\"");
    }
    return LHasher->HexDigest();
}

std::optional<std::string> NormalizedSha256(const std::string& AText) {
    if (AText.size() != 64) {
        return std::nullopt;
    }
    std::string LText = AText;
    for (char& LChar : LText) {
        if (LChar >= 'A' && LChar <= 'F') {
            LChar = static_cast<char>(LChar + 32);
        } else if (!((LChar >= '0' && LChar <= '9') || (LChar >= 'a' && LChar <= 'f'))) {
            return std::nullopt;
        }
    }
    return LText;
}

} // namespace orvane
