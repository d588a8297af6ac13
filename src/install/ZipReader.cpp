#include "install/ZipReader.h"

#include "install/FileOperations.h"
#include "platform/HeldFile.h"
#include "platform/NewFile.h"
#include "platform/Text.h"

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_set>
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

// Below this an entry's compression ratio says nothing: small files of one
// repeated byte compress beyond any limit.
constexpr std::uint64_t KRatioFloor = 4 * 1024 * 1024;

struct TFileCloser {
    void operator()(std::FILE* AFile) const { std::fclose(AFile); }
};

struct TZipFileCloser {
    void operator()(zip_file_t* AFile) const { zip_fclose(AFile); }
};

struct TZipDiscarder {
    void operator()(zip* AZip) const { zip_discard(AZip); }
};

// strerror may share one buffer between threads.
std::string ErrnoText(int AError) {
    return std::generic_category().message(AError);
}

// libzip reads the archive through the one opening of the file: what was
// checked (hashed, its directory read) is what every handle extracts from.
struct TSourceState {
    std::shared_ptr<const THeldFile> File;
    std::uint64_t Position = 0;
    zip_error_t Error{};
};

zip_int64_t ReadSource(void* AState, void* AData, zip_uint64_t ALength, zip_source_cmd_t ACommand) {
    auto* LState = static_cast<TSourceState*>(AState);
    switch (ACommand) {
    case ZIP_SOURCE_OPEN:
        LState->Position = 0;
        return 0;
    case ZIP_SOURCE_READ:
        try {
            const std::size_t LRead =
                LState->File->ReadAt(LState->Position, AData, static_cast<std::size_t>(ALength));
            LState->Position += LRead;
            return static_cast<zip_int64_t>(LRead);
        } catch (const std::exception&) {
            zip_error_set(&LState->Error, ZIP_ER_READ, EIO);
            return -1;
        }
    case ZIP_SOURCE_CLOSE:
        return 0;
    case ZIP_SOURCE_STAT: {
        auto* LStat = static_cast<zip_stat_t*>(AData);
        zip_stat_init(LStat);
        LStat->size = LState->File->Size();
        LStat->valid |= ZIP_STAT_SIZE;
        return sizeof(zip_stat_t);
    }
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&LState->Error, AData, ALength);
    case ZIP_SOURCE_FREE:
        zip_error_fini(&LState->Error);
        delete LState;
        return 0;
    case ZIP_SOURCE_SEEK: {
        const zip_int64_t LAt = zip_source_seek_compute_offset(
            LState->Position, LState->File->Size(), AData, ALength, &LState->Error);
        if (LAt < 0) {
            return -1;
        }
        LState->Position = static_cast<std::uint64_t>(LAt);
        return 0;
    }
    case ZIP_SOURCE_TELL:
        return static_cast<zip_int64_t>(LState->Position);
    case ZIP_SOURCE_SUPPORTS:
        return zip_source_make_command_bitmap(
            ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR,
            ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL, ZIP_SOURCE_SUPPORTS, -1);
    default:
        zip_error_set(&LState->Error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

zip* OpenZip(const std::shared_ptr<const THeldFile>& AFile) {
    // Read from a source, libzip would take an empty file for a new archive.
    constexpr std::uint64_t KEndRecordSize = 22;
    if (AFile->Size() < KEndRecordSize) {
        throw EZipError("Cannot open zip file " + Quoted(AFile->Path()) + ": Not a zip archive");
    }
    zip_error_t LError;
    zip_error_init(&LError);
    auto* LState = new TSourceState{AFile, 0, {}};
    zip_error_init(&LState->Error);
    zip_source_t* LSource = zip_source_function_create(ReadSource, LState, &LError);
    if (LSource == nullptr) {
        zip_error_fini(&LState->Error);
        delete LState;
    }
    zip* LZip = LSource ? zip_open_from_source(LSource, ZIP_RDONLY, &LError) : nullptr;
    if (LZip == nullptr) {
        if (LSource != nullptr) {
            zip_source_free(LSource);
        }
        const std::string LText = zip_error_strerror(&LError);
        zip_error_fini(&LError);
        throw EZipError("Cannot open zip file " + Quoted(AFile->Path()) + ": " + LText);
    }
    zip_error_fini(&LError);
    return LZip;
}

// Temporary names of one extraction. None is another thread's, nor the final
// name of an entry, which a rename could put in its place while it is written.
class TPartialNames {
public:
    void AddFinal(const fs::path& ATarget) { FTaken.insert(Key(ATarget)); }
    fs::path Claim(const fs::path& ATarget) {
        const std::lock_guard LLock(FMutex);
        fs::path LPartial = FirstFreeFileName(
            ATarget.parent_path(), Utf8FromPath(ATarget.filename()), std::string(KPartialSuffix),
            [this](const fs::path& ACandidate) { return FTaken.count(Key(ACandidate)) > 0; });
        FTaken.insert(Key(LPartial));
        return LPartial;
    }
    void Release(const fs::path& APartial) {
        const std::lock_guard LLock(FMutex);
        FTaken.erase(Key(APartial));
    }

private:
    // Folded: on Windows names that differ in case are one file.
    static std::string Key(const fs::path& APath) { return FoldName(Utf8FromPath(APath)); }
    std::mutex FMutex;
    std::unordered_set<std::string> FTaken;
};

// Streams entry AIndex of AZip to ATarget through a temporary name, at most
// ADeclared bytes. AOnBlock follows every block written; when it returns false
// the entry is dropped and so is its temporary file, and the result is false.
bool WriteEntry(zip* AZip, const std::string& AZipName, std::uint64_t AIndex,
                const std::string& AName, const fs::path& ATarget, std::uint64_t ADeclared,
                TPartialNames& APartials, std::vector<char>& ABuffer,
                const std::function<bool(std::int64_t)>& AOnBlock) {
    std::unique_ptr<zip_file_t, TZipFileCloser> LEntry(zip_fopen_index(AZip, AIndex, 0));
    if (!LEntry) {
        throw EZipError("Cannot read entry " + Quoted(AName) + " of zip file " + Quoted(AZipName) +
                        ": " + zip_strerror(AZip));
    }
    const fs::path LPartial = APartials.Claim(ATarget);
    const std::string LCannotWrite = "Cannot write " + Quoted(Utf8FromPath(ATarget)) +
                                     " from zip file " + Quoted(AZipName) + ": ";
    // Created only where nothing has the name, a link included: what
    // appeared there since the name was chosen is never written through.
    bool LTaken = false;
    std::string LOpenError;
    std::unique_ptr<std::FILE, TFileCloser> LOut(
        OpenNewFile(Utf8FromPath(LPartial), LTaken, LOpenError));
    if (!LOut) {
        APartials.Release(LPartial);
        throw EZipError(LCannotWrite + (LTaken ? Quoted(Utf8FromPath(LPartial)) +
                                                     " appeared while it was being created"
                                               : LOpenError));
    }
    std::setvbuf(LOut.get(), nullptr, _IONBF, 0);

    std::string LFailure;
    bool LStopped = false;
    std::uint64_t LWritten = 0;
    for (;;) {
        const zip_int64_t LRead = zip_fread(LEntry.get(), ABuffer.data(), ABuffer.size());
        if (LRead < 0) {
            LFailure = "Cannot read entry " + Quoted(AName) + " of zip file " + Quoted(AZipName) +
                       ": " + zip_file_strerror(LEntry.get());
            break;
        }
        if (LRead == 0) {
            break;
        }
        LWritten += static_cast<std::uint64_t>(LRead);
        // A size that lies can fill the disk: stop at the first byte beyond it.
        if (LWritten > ADeclared) {
            break;
        }
        if (std::fwrite(ABuffer.data(), 1, static_cast<std::size_t>(LRead), LOut.get()) !=
            static_cast<std::size_t>(LRead)) {
            LFailure = LCannotWrite + ErrnoText(errno);
            break;
        }
        if (!AOnBlock(LRead)) {
            LStopped = true;
            break;
        }
    }
    if (LFailure.empty() && !LStopped && LWritten != ADeclared) {
        LFailure = "Entry " + Quoted(AName) + " of zip file " + Quoted(AZipName) + " holds " +
                   (LWritten > ADeclared ? "more" : "less") + " than the " +
                   std::to_string(ADeclared) + " bytes it declares";
    }
    if (LFailure.empty() && !LStopped && std::fclose(LOut.release()) != 0) {
        LFailure = LCannotWrite + ErrnoText(errno);
    }
    if (LFailure.empty() && !LStopped) {
        std::error_code LRenameError;
        fs::rename(LPartial, ATarget, LRenameError);
        if (LRenameError) {
            LFailure = LCannotWrite + LRenameError.message();
        }
    }
    if (!LFailure.empty() || LStopped) {
        LOut.reset();
        std::error_code LRemoveError;
        fs::remove(LPartial, LRemoveError);
    }
    APartials.Release(LPartial);
    if (!LFailure.empty()) {
        throw EZipError(LFailure);
    }
    return !LStopped;
}

} // namespace

// One file entry of an extraction, with what the checks found.
struct TZipReader::TFileJob {
    std::uint64_t Index = 0;
    std::uint64_t Size = 0;
    std::string Name;
    fs::path Target;
};

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
    std::shared_ptr<const THeldFile> LFile;
    try {
        LFile = std::make_shared<const THeldFile>(AFileName);
    } catch (const std::exception& AError) {
        throw EZipError("Cannot open zip file " + Quoted(AFileName) + ": " + AError.what());
    }
    Open(LFile);
}

void TZipReader::Open(std::shared_ptr<const THeldFile> AFile) {
    Close();
    FZip = OpenZip(AFile);
    FFile = std::move(AFile);
    FFileName = FFile->Path();
    FChecked = false;
    FFileSize = FFile->Size();
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
    FFile.reset();
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
    if (Count() > KMaxEntries) {
        throw EZipError("Zip file " + Quoted(FFileName) + " holds " + std::to_string(Count()) +
                        " entries, more than a package can hold (" + std::to_string(KMaxEntries) +
                        "): the archive is refused");
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

unsigned TZipReader::CoreCount() {
    return std::max(1u, std::thread::hardware_concurrency());
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
    struct TEndOfExtraction {
        std::int64_t& Total;
        ~TEndOfExtraction() { Total = -1; }
    } LEnd{FTotal};
    PumpIfDue(true);
    const fs::path LRoot = PathFromUtf8(ADir);
    // Folders first, on this thread, so no two threads make one parent.
    std::vector<TFileJob> LFiles;
    std::vector<fs::path> LParents;
    std::unordered_set<std::string> LParentsSeen;
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
            if (LParentsSeen.insert(Utf8FromPath(LTarget.parent_path())).second) {
                LParents.push_back(LTarget.parent_path());
            }
            LFiles.push_back({static_cast<std::uint64_t>(LIndex), DeclaredSize(LIndex), LName,
                              std::move(LTarget)});
        }
    }
    for (const fs::path& LParent : LParents) {
        // A folder that cannot be made fails its first file, naming it.
        std::error_code LError;
        fs::create_directories(LParent, LError);
    }
    // The largest first, so no thread is left with a big file at the end.
    std::stable_sort(LFiles.begin(), LFiles.end(),
                     [](const TFileJob& A, const TFileJob& B) { return A.Size > B.Size; });
    WriteFiles(LFiles);
    PumpIfDue(true);
}

void TZipReader::WriteFiles(const std::vector<TFileJob>& AJobs) {
    if (AJobs.empty()) {
        return;
    }
    const std::size_t LThreads =
        std::min<std::size_t>(FThreadCount == 0 ? CoreCount() : FThreadCount, AJobs.size());
    TPartialNames LPartials;
    for (const TFileJob& LJob : AJobs) {
        LPartials.AddFinal(LJob.Target);
    }
    std::atomic<std::size_t> LNext{0};
    std::atomic<bool> LStop{false};
    std::atomic<std::int64_t> LWritten{0};
    std::mutex LMutex;
    std::condition_variable LFinished;
    std::size_t LRunning = 0;
    std::exception_ptr LError;
    const auto LFail = [&](std::exception_ptr AError) {
        const std::lock_guard LLock(LMutex);
        if (!LError) {
            LError = std::move(AError);
        }
        LStop = true;
    };
    const std::int64_t LEntryCount = zip_get_num_entries(FZip, 0);
    // AZip: the reader's own handle for one thread, nullptr for the others,
    // which open their own (libzip handles are not shared between threads).
    const auto LWorker = [&](zip* AZip) {
        try {
            std::unique_ptr<zip, TZipDiscarder> LOwn;
            if (AZip == nullptr) {
                LOwn.reset(OpenZip(FFile));
                AZip = LOwn.get();
            }
            std::vector<char> LBuffer(CBlockSize);
            const auto LOnBlock = [&](std::int64_t ABytes) {
                LWritten.fetch_add(ABytes, std::memory_order_relaxed);
                return !LStop.load(std::memory_order_relaxed);
            };
            while (!LStop) {
                const std::size_t LAt = LNext++;
                if (LAt >= AJobs.size()) {
                    break;
                }
                const TFileJob& LJob = AJobs[LAt];
                // Another handle reads the file again: it must be the file checked.
                const char* LName = zip_get_name(AZip, LJob.Index, ZIP_FL_ENC_GUESS);
                if (zip_get_num_entries(AZip, 0) != LEntryCount || LName == nullptr ||
                    LJob.Name != LName) {
                    throw EZipError("Zip file " + Quoted(FFileName) +
                                    " changed while it was extracted");
                }
                if (!WriteEntry(AZip, FFileName, LJob.Index, LJob.Name, LJob.Target, LJob.Size,
                                LPartials, LBuffer, LOnBlock)) {
                    break;
                }
            }
        } catch (...) {
            LFail(std::current_exception());
        }
        {
            const std::lock_guard LLock(LMutex);
            --LRunning;
        }
        LFinished.notify_all();
    };

    std::vector<std::thread> LPool;
    LPool.reserve(LThreads);
    for (std::size_t LAt = 0; LAt < LThreads; ++LAt) {
        {
            const std::lock_guard LLock(LMutex);
            ++LRunning;
        }
        try {
            LPool.emplace_back(LWorker, LAt == 0 ? FZip : nullptr);
        } catch (const std::system_error&) {
            // Fewer threads than asked still do the work; none: this one does.
            const std::lock_guard LLock(LMutex);
            --LRunning;
            break;
        }
    }
    if (LPool.empty()) {
        ++LRunning;
        LWorker(FZip);
    }
    {
        std::unique_lock LLock(LMutex);
        while (LRunning > 0) {
            LFinished.wait_for(LLock, std::chrono::milliseconds(CPumpIntervalMs));
            LLock.unlock();
            FWritten = LWritten;
            try {
                PumpIfDue();
            } catch (...) {
                LFail(std::current_exception());
            }
            LLock.lock();
        }
    }
    for (std::thread& LThread : LPool) {
        LThread.join();
    }
    FWritten = LWritten;
    if (LError) {
        std::rethrow_exception(LError);
    }
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
    std::error_code LDirError;
    fs::create_directories(LTarget.parent_path(), LDirError);
    TPartialNames LPartials;
    std::vector<char> LBuffer(CBlockSize);
    WriteEntry(FZip, FFileName, static_cast<std::uint64_t>(LIndex), LName, LTarget,
               DeclaredSize(LIndex), LPartials, LBuffer, [this](std::int64_t) {
                   PumpIfDue();
                   return true;
               });
}

} // namespace orvane
