#include "PackageZip.h"

#include <zip.h>

#include <algorithm>
#include <stdexcept>

namespace {

// Half noise, half repeated text: packages hold binaries that deflate to about half.
std::string FileContent(std::size_t ASize, std::uint32_t ASeed) {
    std::string LData(ASize, '\0');
    std::uint32_t LState = ASeed * 2654435761u + 1;
    static const char CText[] = "procedure TOrvaneComponent.Paint(ACanvas: TCanvas); ";
    for (std::size_t LIndex = 0; LIndex < ASize; ++LIndex) {
        if ((LIndex / 4096) % 2 == 0) {
            LState ^= LState << 13;
            LState ^= LState >> 17;
            LState ^= LState << 5;
            LData[LIndex] = static_cast<char>(LState);
        } else {
            LData[LIndex] = CText[LIndex % (sizeof CText - 1)];
        }
    }
    return LData;
}

void AddEntry(zip_t* AZip, const std::string& AName, const std::string& AData) {
    zip_source_t* LSource = zip_source_buffer(AZip, AData.data(), AData.size(), 0);
    if (zip_file_add(AZip, AName.c_str(), LSource, ZIP_FL_ENC_UTF_8) < 0) {
        zip_source_free(LSource);
        throw std::runtime_error(zip_strerror(AZip));
    }
}

} // namespace

void WritePackageZip(const std::string& AZip, std::uint64_t ATotal, std::size_t AFiles,
                     const std::vector<std::pair<std::string, std::string>>& AExtra) {
    int LError = 0;
    zip_t* LZip = zip_open(AZip.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &LError);
    if (LZip == nullptr) {
        throw std::runtime_error("cannot create " + AZip);
    }
    // A few big files and many small ones, as a package has.
    std::vector<std::uint64_t> LSizes(AFiles);
    const std::size_t LBigCount = std::max<std::size_t>(1, AFiles / 500);
    const std::uint64_t LBigShare = ATotal / 2;
    std::uint64_t LSum = 0;
    for (std::size_t LIndex = 0; LIndex < AFiles; ++LIndex) {
        LSizes[LIndex] = LIndex < LBigCount
                             ? LBigShare / LBigCount
                             : (ATotal - LBigShare) / (AFiles - LBigCount) / 2 +
                                   (LIndex * 7919) % ((ATotal - LBigShare) / (AFiles - LBigCount));
        LSum += LSizes[LIndex];
    }
    LSizes.back() += ATotal > LSum ? ATotal - LSum : 0;
    static const char* CPlatforms[] = {"Win32", "Win64", "Android", "iOSDevice64", "Linux64"};
    // libzip reads the buffers when the archive is closed.
    std::vector<std::string> LData(AFiles);
    for (std::size_t LIndex = 0; LIndex < AFiles; ++LIndex) {
        const std::string LName = std::string(CPlatforms[LIndex % 5]) + "/Release/" +
                                  (LIndex % 3 == 0 ? "C/hpp/" : "") + "Unit" +
                                  std::to_string(LIndex) + (LIndex % 3 == 0 ? ".hpp" : ".dcu");
        LData[LIndex] = FileContent(LSizes[LIndex], static_cast<std::uint32_t>(LIndex));
        AddEntry(LZip, LName, LData[LIndex]);
    }
    for (const auto& [LName, LContent] : AExtra) {
        AddEntry(LZip, LName, LContent);
    }
    if (zip_close(LZip) != 0) {
        throw std::runtime_error(zip_strerror(LZip));
    }
}
