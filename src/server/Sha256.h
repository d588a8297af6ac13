#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace orvane {

class THeldFile;

// A digest fed block by block as data arrives, so a download is hashed
// without reading the file a second time.
class TStreamHasher {
public:
    virtual ~TStreamHasher() = default;
    virtual void Update(const void* AData, std::size_t ASize) = 0;
    // Lower-case hexadecimal digest of everything fed so far; ends the hashing.
    virtual std::string HexDigest() = 0;
};

// OpenSSL's EVP here, CNG on Windows.
std::unique_ptr<TStreamHasher> NewSha256Hasher();

// Digest bytes as lower-case hexadecimal, high nibble first.
std::string HexText(const unsigned char* AData, std::size_t ASize);

// SHA-256 of a whole file as lower-case hexadecimal; throws std::runtime_error
// naming the file when it cannot be read.
std::string Sha256OfFile(const std::filesystem::path& AFile);
// The same for a file named in UTF-8: a std::string must not become a path on
// its own, since Windows would read it in the ANSI code page.
std::string Sha256OfFile(const std::string& AFileUtf8);

// The same read through AFile's own opening: the bytes that are then used.
std::string Sha256OfFile(const THeldFile& AFile);

// A "sha256" text as a version entry gives it: exactly 64 hexadecimal digits
// in either case, returned in lower case; nothing for anything else.
std::optional<std::string> NormalizedSha256(const std::string& AText);

} // namespace orvane
