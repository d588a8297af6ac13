// Generates a package-sized zip, or extracts one with the installer's zip reader.
//   bench_zip_extract generate <zip> <total MiB> <files>
//   bench_zip_extract extract <zip> <folder> [threads]   (0 or none: one per core)
#include "install/ZipReader.h"

#include <zip.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

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

void Generate(const std::string& AZip, std::uint64_t ATotal, std::size_t AFiles) {
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
    std::vector<std::string> LData(AFiles);
    for (std::size_t LIndex = 0; LIndex < AFiles; ++LIndex) {
        const std::string LName = std::string(CPlatforms[LIndex % 5]) + "/Release/" +
                                  (LIndex % 3 == 0 ? "C/hpp/" : "") + "Unit" +
                                  std::to_string(LIndex) + (LIndex % 3 == 0 ? ".hpp" : ".dcu");
        LData[LIndex] = FileContent(LSizes[LIndex], static_cast<std::uint32_t>(LIndex));
        zip_source_t* LSource =
            zip_source_buffer(LZip, LData[LIndex].data(), LData[LIndex].size(), 0);
        if (zip_file_add(LZip, LName.c_str(), LSource, ZIP_FL_ENC_UTF_8) < 0) {
            throw std::runtime_error(zip_strerror(LZip));
        }
    }
    if (zip_close(LZip) != 0) {
        throw std::runtime_error(zip_strerror(LZip));
    }
}

} // namespace

int main(int AArgc, char** AArgv) {
    try {
        const std::string LCommand = AArgc > 1 ? AArgv[1] : "";
        if (LCommand == "generate" && AArgc == 5) {
            Generate(AArgv[2], std::strtoull(AArgv[3], nullptr, 10) * 1024 * 1024,
                     std::strtoull(AArgv[4], nullptr, 10));
            return 0;
        }
        if (LCommand == "extract" && (AArgc == 4 || AArgc == 5)) {
            orvane::TZipReader LZip(AArgv[2]);
            if (AArgc == 5) {
                LZip.SetThreadCount(static_cast<unsigned>(std::strtoul(AArgv[4], nullptr, 10)));
            }
            LZip.ExtractAll(AArgv[3]);
            return 0;
        }
        std::fprintf(stderr,
                     "usage: %s generate <zip> <MiB> <files> | extract <zip> <folder> [threads]\n",
                     AArgv[0]);
        return 2;
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "%s\n", AError.what());
        return 1;
    }
}
