// A package zip: opened, listed, looked up and extracted into a folder of its
// own. Nothing may land outside that folder.
#include "FuzzSupport.h"

#include "install/ZipReader.h"

#include <algorithm>
#include <exception>
#include <system_error>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const fs::path& LRoot = orvane::fuzz::ScratchDir();
    const fs::path LZip = LRoot / "package.zip";
    const fs::path LTarget = LRoot / "version";
    const fs::path LFlat = LRoot / "bin";
    orvane::fuzz::WriteBytes(LZip, AData, ASize);
    try {
        orvane::TZipReader LReader(LZip.string());
        const std::int64_t LCount = std::min<std::int64_t>(LReader.Count(), 256);
        for (std::int64_t I = 0; I < LCount; ++I) {
            const std::string LName = LReader.Name(I);
            const std::int64_t LFound = LReader.IndexOf(LName);
            if (LFound < 0 || LFound > I) {
                orvane::fuzz::Violated("a listed entry is not found by its own name");
            }
        }
        try {
            LReader.ExtractAll(LTarget.string());
        } catch (const std::exception&) {
        }
        for (std::int64_t I = 0; I < std::min<std::int64_t>(LCount, 4); ++I) {
            try {
                LReader.Extract(LReader.Name(I), LFlat.string());
            } catch (const std::exception&) {
            }
        }
    } catch (const std::exception&) {
    }
    for (const auto& LItem : fs::directory_iterator(LRoot)) {
        const fs::path LName = LItem.path().filename();
        if (LName != LZip.filename() && LName != LTarget.filename() && LName != LFlat.filename()) {
            orvane::fuzz::Violated("extraction wrote " + LItem.path().string());
        }
    }
    std::error_code LIgnored;
    fs::remove_all(LTarget, LIgnored);
    fs::remove_all(LFlat, LIgnored);
    return 0;
}
