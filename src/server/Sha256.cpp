#include "server/Sha256.h"

#include "platform/HeldFile.h"

#include "platform/FileNames.h"

#include <fstream>
#include <stdexcept>
#include <vector>

namespace orvane {

std::string HexText(const unsigned char* AData, std::size_t ASize) {
    static const char KHex[] = "0123456789abcdef";
    std::string LText;
    LText.reserve(ASize * 2);
    for (std::size_t LIndex = 0; LIndex < ASize; ++LIndex) {
        LText += KHex[AData[LIndex] >> 4];
        LText += KHex[AData[LIndex] & 0x0F];
    }
    return LText;
}

std::string Sha256OfFile(const std::string& AFileUtf8) {
    return Sha256OfFile(PathFromUtf8(AFileUtf8));
}

std::string Sha256OfFile(const std::filesystem::path& AFile) {
    std::ifstream LIn(AFile, std::ios::binary);
    if (!LIn) {
        throw std::runtime_error("Cannot read \"" + Utf8FromPath(AFile) + "\"");
    }
    auto LHasher = NewSha256Hasher();
    std::vector<char> LBuffer(1 << 16);
    while (LIn) {
        LIn.read(LBuffer.data(), static_cast<std::streamsize>(LBuffer.size()));
        LHasher->Update(LBuffer.data(), static_cast<std::size_t>(LIn.gcount()));
    }
    if (LIn.bad()) {
        throw std::runtime_error("Cannot read \"" + Utf8FromPath(AFile) + "\"");
    }
    return LHasher->HexDigest();
}

std::string Sha256OfFile(const THeldFile& AFile) {
    auto LHasher = NewSha256Hasher();
    std::vector<char> LBuffer(1 << 16);
    std::uint64_t LAt = 0;
    while (const std::size_t LRead = AFile.ReadAt(LAt, LBuffer.data(), LBuffer.size())) {
        LHasher->Update(LBuffer.data(), LRead);
        LAt += LRead;
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
