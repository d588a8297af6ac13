#include "install/ZipReader.h"

#include "install/FileOperations.h"
#include "platform/Text.h"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace orvane {

namespace {

constexpr std::size_t CBlockSize = 64 * 1024;
// Well inside the ~100 ms a window may go without pumping, with room for a
// block whose write waits for the disk.
constexpr std::int64_t CPumpIntervalMs = 25;
constexpr std::uint32_t CUnixFileTypeMask = 0170000;
constexpr std::uint32_t CUnixSymlink = 0120000;

std::string FoldAscii(std::string AText) {
    for (char& LChar : AText) {
        if (LChar >= 'A' && LChar <= 'Z') {
            LChar = static_cast<char>(LChar - 'A' + 'a');
        }
    }
    return AText;
}

std::vector<std::string> Segments(const std::string& AName) {
    std::vector<std::string> LResult(1);
    for (char LChar : AName) {
        if (LChar == '/' || LChar == '\\') {
            LResult.emplace_back();
        } else {
            LResult.back() += LChar;
        }
    }
    return LResult;
}

bool IsFolderEntry(const std::string& AName) {
    return !AName.empty() && (AName.back() == '/' || AName.back() == '\\');
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Quoted(const std::string& AText) {
    return "\"" + AText + "\"";
}

// Below this an entry's compression ratio says nothing: small files of one
// repeated byte compress beyond any limit.
constexpr std::uint64_t KRatioFloor = 4 * 1024 * 1024;

struct TFileCloser {
    void operator()(std::FILE* AFile) const { std::fclose(AFile); }
};

struct TZipFileCloser {
    void operator()(zip_file_t* AFile) const { zip_fclose(AFile); }
};

} // namespace

std::string UnsafeEntryReason(const std::string& AName) {
    if (AName.empty()) {
        return "the name is empty";
    }
    if (AName.front() == '/' || AName.front() == '\\') {
        return "it is an absolute path";
    }
    std::vector<std::string> LSegments = Segments(AName);
    if (IsFolderEntry(AName)) {
        LSegments.pop_back();
    }
    for (const std::string& LSegment : LSegments) {
        if (LSegment == "..") {
            return "it climbs out of the target folder";
        }
    }
    // Each folder and the file name must be a name Windows writes as it is,
    // by the same rule as every other name from the server.
    for (const std::string& LSegment : LSegments) {
        if (const std::string LReason = UnsafeFileNameReason(LSegment); !LReason.empty()) {
            return "\"" + ShortenedText(LSegment, 80) + "\": " + LReason;
        }
    }
    return {};
}

namespace {

// How lookups see a name: the way extraction splits it, ASCII case folded.
std::string EntryKey(const std::string& AName) {
    std::string LKey = AName;
    std::replace(LKey.begin(), LKey.end(), '\\', '/');
    return FoldAscii(LKey);
}

} // namespace

TZipReader::~TZipReader() {
    Close();
}

void TZipReader::Open(const std::string& AFileName) {
    Close();
    int LErrorCode = 0;
    zip* LZip = zip_open(AFileName.c_str(), ZIP_RDONLY, &LErrorCode);
    if (LZip == nullptr) {
        zip_error_t LError;
        zip_error_init_with_code(&LError, LErrorCode);
        const std::string LText = zip_error_strerror(&LError);
        zip_error_fini(&LError);
        throw EZipError("Cannot open zip file " + Quoted(AFileName) + ": " + LText);
    }
    FZip = LZip;
    FFileName = AFileName;
    FChecked = false;
    std::error_code LSizeError;
    FFileSize = fs::file_size(PathFromUtf8(AFileName), LSizeError);
    const zip_int64_t LCount = zip_get_num_entries(FZip, 0);
    for (zip_int64_t LIndex = 0; LIndex < LCount; ++LIndex) {
        const char* LName = zip_get_name(FZip, static_cast<zip_uint64_t>(LIndex), ZIP_FL_ENC_GUESS);
        if (LName != nullptr) {
            FIndexByFoldedName.emplace(EntryKey(LName), LIndex);
        }
    }
}

void TZipReader::Close() {
    if (FZip != nullptr) {
        zip_discard(FZip);
        FZip = nullptr;
    }
    FIndexByFoldedName.clear();
}

void TZipReader::RequireOpen() const {
    if (FZip == nullptr) {
        throw EZipError("No zip file is open");
    }
}

std::int64_t TZipReader::Count() const {
    RequireOpen();
    return zip_get_num_entries(FZip, 0);
}

std::string TZipReader::Name(std::int64_t AIndex) const {
    RequireOpen();
    const char* LName = zip_get_name(FZip, static_cast<zip_uint64_t>(AIndex), ZIP_FL_ENC_GUESS);
    if (LName == nullptr) {
        throw EZipError("Cannot read entry " + std::to_string(AIndex) + " of zip file " +
                        Quoted(FFileName) + ": " + zip_strerror(FZip));
    }
    return LName;
}

std::int64_t TZipReader::IndexOf(const std::string& AName) const {
    RequireOpen();
    const auto LFound = FIndexByFoldedName.find(EntryKey(AName));
    return LFound == FIndexByFoldedName.end() ? -1 : LFound->second;
}

std::uint64_t TZipReader::DeclaredSize(std::int64_t AIndex) const {
    RequireOpen();
    zip_stat_t LStat;
    if (zip_stat_index(FZip, static_cast<zip_uint64_t>(AIndex), 0, &LStat) != 0 ||
        (LStat.valid & ZIP_STAT_SIZE) == 0) {
        throw EZipError("Cannot read entry " + std::to_string(AIndex) + " of zip file " +
                        Quoted(FFileName) + ": " + zip_strerror(FZip));
    }
    return LStat.size;
}

std::uint64_t TZipReader::TotalDeclaredSize() const {
    std::uint64_t LTotal = 0;
    for (std::int64_t LIndex = 0; LIndex < Count(); ++LIndex) {
        const std::uint64_t LSize = DeclaredSize(LIndex);
        LTotal = LSize > UINT64_MAX - LTotal ? UINT64_MAX : LTotal + LSize;
    }
    return LTotal;
}

void TZipReader::CheckDeclaredSizes() const {
    const std::uint64_t LTotal = TotalDeclaredSize();
    if (LTotal > KMaxTotalSize) {
        throw EZipError("Zip file " + Quoted(FFileName) + " declares " + FormatByteSize(LTotal) +
                        " of files, more than a package can hold (" +
                        FormatByteSize(KMaxTotalSize) + ")");
    }
    for (std::int64_t LIndex = 0; LIndex < Count(); ++LIndex) {
        zip_stat_t LStat;
        if (zip_stat_index(FZip, static_cast<zip_uint64_t>(LIndex), 0, &LStat) != 0 ||
            (LStat.valid & ZIP_STAT_COMP_SIZE) == 0) {
            continue;
        }
        if (LStat.size > KRatioFloor && LStat.size / KMaxRatio > LStat.comp_size) {
            throw EZipError("Entry " + Quoted(Name(LIndex)) + " of zip file " + Quoted(FFileName) +
                            " declares " + FormatByteSize(LStat.size) + " from " +
                            FormatByteSize(LStat.comp_size) +
                            " compressed, beyond any real file: the archive is refused");
        }
    }
    // Many entries just under the floor add up to the same bomb; the file's
    // own size cannot lie about what was compressed.
    if (LTotal > KRatioFloor && LTotal / KMaxArchiveRatio > FFileSize) {
        throw EZipError("Zip file " + Quoted(FFileName) + " declares " + FormatByteSize(LTotal) +
                        " of files in " + FormatByteSize(FFileSize) +
                        ", beyond any real package: the archive is refused");
    }
}

void TZipReader::CheckArchive() {
    RequireOpen();
    if (FChecked) {
        return;
    }
    CheckDeclaredSizes();
    const std::int64_t LCount = Count();
    // One name per file on Windows: case and the separator do not tell names apart there.
    std::unordered_map<std::string, std::int64_t> LSeen;
    LSeen.reserve(static_cast<std::size_t>(LCount));
    for (std::int64_t LIndex = 0; LIndex < LCount; ++LIndex) {
        const std::string LName = Name(LIndex);
        CheckEntry(static_cast<std::uint64_t>(LIndex), LName);
        std::string LKey = LName;
        std::replace(LKey.begin(), LKey.end(), '\\', '/');
        while (!LKey.empty() && LKey.back() == '/') {
            LKey.pop_back();
        }
        const auto [LFirst, LNew] = LSeen.emplace(FoldName(LKey), LIndex);
        if (!LNew) {
            throw EZipError("Entries " + Quoted(Name(LFirst->second)) + " and " + Quoted(LName) +
                            " of zip file " + Quoted(FFileName) +
                            " name the same file on Windows: the archive is refused");
        }
    }
    FChecked = true;
}

void TZipReader::CheckEntry(std::uint64_t AIndex, const std::string& AName) const {
    std::string LReason = UnsafeEntryReason(AName);
    zip_uint8_t LSystem = 0;
    zip_uint32_t LAttributes = 0;
    if (LReason.empty() &&
        zip_file_get_external_attributes(FZip, AIndex, 0, &LSystem, &LAttributes) == 0 &&
        LSystem == ZIP_OPSYS_UNIX && ((LAttributes >> 16) & CUnixFileTypeMask) == CUnixSymlink) {
        LReason = "it is a symbolic link";
    }
    if (!LReason.empty()) {
        throw EZipError("Unsafe entry " + Quoted(AName) + " in zip file " + Quoted(FFileName) +
                        ": " + LReason);
    }
}

void TZipReader::PumpIfDue(bool AForce) {
    if (!FPump && !FProgress) {
        return;
    }
    const std::int64_t LNow = NowMs();
    if (AForce || LNow - FLastPump >= CPumpIntervalMs) {
        FLastPump = LNow;
        if (FProgress && FTotal >= 0) {
            FProgress(FWritten, FTotal);
        }
        if (FPump) {
            FPump();
        }
    }
}

void TZipReader::ExtractAll(const std::string& ADir) {
    CheckArchive();
    const std::int64_t LCount = Count();
    std::vector<std::string> LNames;
    LNames.reserve(static_cast<std::size_t>(LCount));
    for (std::int64_t LIndex = 0; LIndex < LCount; ++LIndex) {
        LNames.push_back(Name(LIndex));
    }
    FWritten = 0;
    // CheckDeclaredSizes has capped the sum far below the range of FTotal.
    FTotal = static_cast<std::int64_t>(TotalDeclaredSize());
    PumpIfDue(true);
    const fs::path LRoot = PathFromUtf8(ADir);
    for (std::int64_t LIndex = 0; LIndex < LCount; ++LIndex) {
        const std::string& LName = LNames[static_cast<std::size_t>(LIndex)];
        fs::path LTarget = LRoot;
        for (const std::string& LSegment : Segments(LName)) {
            if (!LSegment.empty()) { // the end of a folder entry
                LTarget /= PathFromUtf8(LSegment);
            }
        }
        if (IsFolderEntry(LName)) {
            std::error_code LError;
            fs::create_directories(LTarget, LError);
            if (!fs::is_directory(LTarget, LError)) {
                throw EZipError("Cannot create folder " + Quoted(Utf8FromPath(LTarget)) +
                                " for zip file " + Quoted(FFileName));
            }
        } else {
            WriteEntry(static_cast<std::uint64_t>(LIndex), LName, Utf8FromPath(LTarget));
        }
        PumpIfDue();
    }
    PumpIfDue(true);
    FTotal = -1;
}

void TZipReader::Extract(const std::string& AName, const std::string& ADir) {
    const std::int64_t LIndex = IndexOf(AName);
    if (LIndex < 0) {
        throw EZipError("Entry " + Quoted(AName) + " not found in zip file " + Quoted(FFileName));
    }
    CheckArchive();
    const std::string LName = Name(LIndex);
    if (IsFolderEntry(LName)) {
        throw EZipError("Entry " + Quoted(LName) + " of zip file " + Quoted(FFileName) +
                        " is a folder");
    }
    PumpIfDue(true);
    const fs::path LTarget = PathFromUtf8(ADir) / PathFromUtf8(Segments(LName).back());
    WriteEntry(static_cast<std::uint64_t>(LIndex), LName, Utf8FromPath(LTarget));
}

void TZipReader::WriteEntry(std::uint64_t AIndex, const std::string& AName,
                            const std::string& ATarget) {
    const fs::path LTarget = PathFromUtf8(ATarget);
    std::error_code LDirError;
    fs::create_directories(LTarget.parent_path(), LDirError);
    const std::uint64_t LDeclared = DeclaredSize(static_cast<std::int64_t>(AIndex));

    std::unique_ptr<zip_file_t, TZipFileCloser> LEntry(zip_fopen_index(FZip, AIndex, 0));
    if (!LEntry) {
        throw EZipError("Cannot read entry " + Quoted(AName) + " of zip file " + Quoted(FFileName) +
                        ": " + zip_strerror(FZip));
    }
    const fs::path LPartial = FirstFreeFileName(
        LTarget.parent_path(), Utf8FromPath(LTarget.filename()), std::string(KPartialSuffix));
    const std::string LCannotWrite =
        "Cannot write " + Quoted(ATarget) + " from zip file " + Quoted(FFileName) + ": ";
#ifdef _WIN32
    std::unique_ptr<std::FILE, TFileCloser> LOut(_wfopen(LPartial.c_str(), L"wb"));
#else
    std::unique_ptr<std::FILE, TFileCloser> LOut(std::fopen(LPartial.c_str(), "wb"));
#endif
    if (!LOut) {
        throw EZipError(LCannotWrite + std::strerror(errno));
    }
    std::setvbuf(LOut.get(), nullptr, _IONBF, 0);

    std::string LFailure;
    std::uint64_t LWritten = 0;
    std::vector<char> LBuffer(CBlockSize);
    for (;;) {
        const zip_int64_t LRead = zip_fread(LEntry.get(), LBuffer.data(), LBuffer.size());
        if (LRead < 0) {
            LFailure = "Cannot read entry " + Quoted(AName) + " of zip file " + Quoted(FFileName) +
                       ": " + zip_file_strerror(LEntry.get());
            break;
        }
        if (LRead == 0) {
            break;
        }
        LWritten += static_cast<std::uint64_t>(LRead);
        // A size that lies can fill the disk: stop at the first byte beyond it.
        if (LWritten > LDeclared) {
            break;
        }
        if (std::fwrite(LBuffer.data(), 1, static_cast<std::size_t>(LRead), LOut.get()) !=
            static_cast<std::size_t>(LRead)) {
            LFailure = LCannotWrite + std::strerror(errno);
            break;
        }
        FWritten += LRead;
        PumpIfDue();
    }
    if (LFailure.empty() && LWritten != LDeclared) {
        LFailure = "Entry " + Quoted(AName) + " of zip file " + Quoted(FFileName) + " holds " +
                   (LWritten > LDeclared ? "more" : "less") + " than the " +
                   std::to_string(LDeclared) + " bytes it declares";
    }
    if (LFailure.empty() && std::fclose(LOut.release()) != 0) {
        LFailure = LCannotWrite + std::strerror(errno);
    }
    std::error_code LRenameError;
    if (LFailure.empty()) {
        fs::rename(LPartial, LTarget, LRenameError);
        if (LRenameError) {
            LFailure = LCannotWrite + LRenameError.message();
        }
    }
    if (!LFailure.empty()) {
        LOut.reset();
        std::error_code LRemoveError;
        fs::remove(LPartial, LRemoveError);
        throw EZipError(LFailure);
    }
}

} // namespace orvane
