#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

struct zip;

namespace orvane {

class THeldFile;

// Any failure of the zip reader; the message names the zip or the entry.
class EZipError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Called now and then while entries are written, at least every ~100 ms, so a
// GUI thread can let its pending messages run.
using TZipPump = std::function<void()>;
// Bytes written so far by ExtractAll and the sum of its entries' sizes; called
// at each pump and once at the end.
using TZipProgress = std::function<void(std::int64_t AWritten, std::int64_t ATotal)>;

// Why an entry name may not be written below a target folder; empty when it is
// safe. Backslashes count as separators, as they do on Windows, and every
// folder and file name in it must pass UnsafeFileNameReason.
std::string UnsafeEntryReason(const std::string& AName);

// Read-only access to one zip file. Entry data is streamed to disk in blocks,
// so memory stays flat whatever the entry size. The file is closed by Close()
// or by the destructor, whichever comes first.
class TZipReader {
public:
    TZipReader() = default;
    explicit TZipReader(const std::string& AFileName) { Open(AFileName); }
    ~TZipReader();
    TZipReader(const TZipReader&) = delete;
    TZipReader& operator=(const TZipReader&) = delete;

    void Open(const std::string& AFileName);
    // Reads the zip only through AFile's opening (every thread of ExtractAll
    // too), so what was hashed through it is what is extracted.
    explicit TZipReader(std::shared_ptr<const THeldFile> AFile) { Open(std::move(AFile)); }
    void Open(std::shared_ptr<const THeldFile> AFile);
    void Close();

    std::int64_t Count() const;
    std::string Name(std::int64_t AIndex) const;
    // Index of the first entry with this name, ASCII letters compared without
    // regard to case and "\\" taken as "/", as extraction takes it; -1 when
    // there is none.
    std::int64_t IndexOf(const std::string& AName) const;

    void SetPump(TZipPump APump) { FPump = std::move(APump); }
    void SetProgress(TZipProgress AProgress) { FProgress = std::move(AProgress); }

    // Uncompressed size the archive declares for an entry, and for all of them.
    std::uint64_t DeclaredSize(std::int64_t AIndex) const;
    std::uint64_t TotalDeclaredSize() const;
    // Refuses an archive whose declared sizes no package has: more than
    // KMaxTotalSize in all, an entry beyond KMaxRatio times its compressed
    // size, or all entries beyond KMaxArchiveRatio times the file's size (zip
    // bombs of one or of many entries).
    void CheckDeclaredSizes() const;
    static constexpr std::uint64_t KMaxTotalSize = std::uint64_t{8} << 30;
    static constexpr std::uint64_t KMaxRatio = 1000;
    // Real packages (binaries, headers) compress a few times over as a whole.
    static constexpr std::uint64_t KMaxArchiveRatio = 100;
    // A real package holds a few thousand files; a hundred thousand tiny ones
    // pass every size check and still fill a drive with their clusters.
    static constexpr std::int64_t KMaxEntries = 100000;
    // At most KMaxEntries entries, CheckDeclaredSizes, every entry's name (UnsafeEntryReason, no
    // symbolic links) and no two entries that name one file on Windows (equal without regard to
    // case once "\\" is "/"). Runs once per opened file; both extractions run it first, so a
    // refused archive writes nothing.
    void CheckArchive();

    // Threads ExtractAll writes on; 0 (the default) is one per core.
    void SetThreadCount(unsigned ACount) { FThreadCount = ACount; }
    // std::thread::hardware_concurrency, at least 1.
    static unsigned CoreCount();

    // Writes every entry below ADir, keeping its folders and overwriting files.
    // All names and sizes are checked first: one unsafe entry fails the whole
    // call before anything is written. Each file is written under a temporary
    // name beside its target and renamed when complete, so a failure (a full
    // disk, an entry longer or shorter than it declares) never leaves a partial
    // file under the final name. Files are written on several threads, each
    // with its own handle on the zip, the largest entries first; the first
    // failure stops the others and is the one thrown. The pump and progress run
    // on the calling thread, which waits for the others.
    void ExtractAll(const std::string& ADir);
    // Writes the named entry into ADir under its file name alone.
    void Extract(const std::string& AName, const std::string& ADir);

private:
    void RequireOpen() const;
    void CheckEntry(std::uint64_t AIndex, const std::string& AName) const;
    struct TFileJob;
    void WriteFiles(const std::vector<TFileJob>& AJobs);
    void PumpIfDue(bool AForce = false);

    zip* FZip = nullptr;
    std::shared_ptr<const THeldFile> FFile;
    std::string FFileName;
    std::uint64_t FFileSize = 0;
    bool FChecked = false;
    std::unordered_map<std::string, std::int64_t> FIndexByFoldedName;
    TZipPump FPump;
    TZipProgress FProgress;
    std::int64_t FWritten = 0;
    std::int64_t FTotal = -1; // -1: not inside ExtractAll
    std::int64_t FLastPump = 0;
    unsigned FThreadCount = 0;
};

} // namespace orvane
