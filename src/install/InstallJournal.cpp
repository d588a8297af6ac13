#include "install/InstallJournal.h"

#include "install/InstallRoots.h"
#include "platform/DurableFile.h"
#include "platform/FileCopy.h"
#include "platform/FileNames.h"
#include "platform/HeldFile.h"
#include "platform/Text.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/RegistryStore.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace orvane {

namespace {

const char* const KJournalFile = "journal";

std::uint32_t Crc32(const std::string& AText) {
    static const std::array<std::uint32_t, 256> LTable = [] {
        std::array<std::uint32_t, 256> LResult{};
        for (std::uint32_t LIndex = 0; LIndex < 256; ++LIndex) {
            std::uint32_t LValue = LIndex;
            for (int LBit = 0; LBit < 8; ++LBit) {
                LValue = (LValue & 1) ? 0xEDB88320u ^ (LValue >> 1) : LValue >> 1;
            }
            LResult[LIndex] = LValue;
        }
        return LResult;
    }();
    std::uint32_t LCrc = 0xFFFFFFFFu;
    for (const unsigned char LChar : AText) {
        LCrc = LTable[(LCrc ^ LChar) & 0xFF] ^ (LCrc >> 8);
    }
    return LCrc ^ 0xFFFFFFFFu;
}

std::string Hex8(std::uint32_t AValue) {
    static const char* const LDigits = "0123456789abcdef";
    std::string LText(8, '0');
    for (int LIndex = 7; LIndex >= 0; --LIndex) {
        LText[static_cast<std::size_t>(LIndex)] = LDigits[AValue & 0xF];
        AValue >>= 4;
    }
    return LText;
}

std::string Escaped(const std::string& AText) {
    std::string LResult;
    for (const char LChar : AText) {
        switch (LChar) {
        case '\\':
            LResult += "\\\\";
            break;
        case '\t':
            LResult += "\\t";
            break;
        case '\n':
            LResult += "\\n";
            break;
        case '\r':
            LResult += "\\r";
            break;
        default:
            LResult += LChar;
        }
    }
    return LResult;
}

std::vector<std::string> UnescapedFields(const std::string& AText) {
    std::vector<std::string> LFields(1);
    for (std::size_t LIndex = 0; LIndex < AText.size(); ++LIndex) {
        const char LChar = AText[LIndex];
        if (LChar == '\t') {
            LFields.emplace_back();
        } else if (LChar == '\\' && LIndex + 1 < AText.size()) {
            const char LNext = AText[++LIndex];
            LFields.back() += LNext == 't'   ? '\t'
                              : LNext == 'n' ? '\n'
                              : LNext == 'r' ? '\r'
                                             : LNext;
        } else {
            LFields.back() += LChar;
        }
    }
    return LFields;
}

// A journal's own files are read through one opening of a plain file (a
// pipe would hang the run, a link could point anywhere), and only up to a
// size no journal reaches.
std::string ReadOwnFile(const fs::path& AFile) {
    constexpr std::size_t KMaxBytes = 256u << 20;
    return ReadHeldFile(Utf8FromPath(AFile), KMaxBytes);
}

bool SameBytes(const fs::path& A, const fs::path& B) {
    std::error_code LError;
    if (!fs::is_regular_file(fs::symlink_status(A, LError)) ||
        !fs::is_regular_file(fs::symlink_status(B, LError)) ||
        fs::file_size(A, LError) != fs::file_size(B, LError)) {
        return false;
    }
    std::ifstream LA(A, std::ios::binary);
    std::ifstream LB(B, std::ios::binary);
    std::array<char, 65536> LBufferA{};
    std::array<char, 65536> LBufferB{};
    while (LA && LB) {
        LA.read(LBufferA.data(), LBufferA.size());
        LB.read(LBufferB.data(), LBufferB.size());
        if (LA.gcount() != LB.gcount() ||
            !std::equal(LBufferA.begin(), LBufferA.begin() + LA.gcount(), LBufferB.begin())) {
            return false;
        }
    }
    return LA.eof() && LB.eof();
}

// A name the journal gave a file of its own folder: "<APrefix><number><ASuffix>".
bool IsOwnName(const std::string& AName, const std::string& APrefix, const std::string& ASuffix) {
    if (AName.size() <= APrefix.size() + ASuffix.size() || AName.rfind(APrefix, 0) != 0 ||
        AName.compare(AName.size() - ASuffix.size(), ASuffix.size(), ASuffix) != 0) {
        return false;
    }
    const std::string LNumber =
        AName.substr(APrefix.size(), AName.size() - APrefix.size() - ASuffix.size());
    return LNumber.size() <= 9 &&
           std::all_of(LNumber.begin(), LNumber.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// The temporary names extraction writes a file under before it takes its own.
void RemovePartials(const fs::path& AFile) {
    const std::string LName = Utf8FromPath(AFile.filename());
    for (int LNumber = 1; LNumber <= 9; ++LNumber) {
        const std::string LPartial = LNumber == 1 ? LName + std::string(KPartialSuffix)
                                                  : LName + " (" + std::to_string(LNumber) + ")" +
                                                        std::string(KPartialSuffix);
        std::error_code LError;
        fs::remove(AFile.parent_path() / PathFromUtf8(LPartial), LError);
    }
}

// Puts AKept's bytes in AFile's place; the final name only ever holds a whole file.
void RestoreCopy(const fs::path& AKept, const fs::path& AFile) {
    const fs::path LTemp =
        FirstFreeFileName(AFile.parent_path(), Utf8FromPath(AFile.filename()) + ".restore", "");
    fs::copy_file(AKept, LTemp);
    std::error_code LError;
    fs::rename(LTemp, AFile, LError);
    if (LError) {
        fs::remove(LTemp);
        throw std::system_error(LError);
    }
}

} // namespace

std::string EncodeRecordLine(const TRecordLine& ALine) {
    std::string LBody = Escaped(ALine.Kind);
    for (const std::string& LField : ALine.Fields) {
        LBody += "\t" + Escaped(LField);
    }
    return Hex8(Crc32(LBody)) + " " + LBody + "\n";
}

std::vector<TRecordLine> DecodeRecordLines(const std::string& AText) {
    std::vector<TRecordLine> LLines;
    std::size_t LStart = 0;
    while (LStart < AText.size()) {
        const std::size_t LEnd = AText.find('\n', LStart);
        if (LEnd == std::string::npos) {
            break;
        }
        const std::string LLine = AText.substr(LStart, LEnd - LStart);
        LStart = LEnd + 1;
        if (LLine.size() < 10 || LLine[8] != ' ' ||
            LLine.substr(0, 8) != Hex8(Crc32(LLine.substr(9)))) {
            break;
        }
        std::vector<std::string> LFields = UnescapedFields(LLine.substr(9));
        TRecordLine LRecord;
        LRecord.Kind = std::move(LFields.front());
        LRecord.Fields.assign(std::make_move_iterator(LFields.begin() + 1),
                              std::make_move_iterator(LFields.end()));
        LLines.push_back(std::move(LRecord));
    }
    return LLines;
}

TInstallJournal TInstallJournal::Begin(const fs::path& ADataDir, const std::string& AIDEVersion) {
    if (ADataDir.empty()) {
        throw std::runtime_error("There is no folder for the installation journal");
    }
    const fs::path LRoot = ADataDir / "Journals";
    fs::create_directories(LRoot);
    fs::path LFolder;
    for (;;) {
        LFolder = FirstFreeFileName(LRoot, "install", "");
        // Another installer may take the same name at the same moment.
        if (fs::create_directory(LFolder)) {
            break;
        }
    }
    TInstallJournal LJournal(LFolder);
    LJournal.FIDEVersion = AIDEVersion;
    LJournal.Append({"begin", {AIDEVersion}});
    return LJournal;
}

TInstallJournal TInstallJournal::Open(const fs::path& AFolder) {
    TInstallJournal LJournal(AFolder);
    std::error_code LError;
    if (fs::exists(AFolder / KJournalFile, LError)) {
        LJournal.FRecords = DecodeRecordLines(ReadOwnFile(AFolder / KJournalFile));
    }
    if (!LJournal.FRecords.empty() && LJournal.FRecords.front().Kind == "begin" &&
        !LJournal.FRecords.front().Fields.empty()) {
        LJournal.FIDEVersion = LJournal.FRecords.front().Fields.front();
    }
    for (const TRecordLine& LRecord : LJournal.FRecords) {
        LJournal.FKept += LRecord.Kind == "replaced" ? 1 : 0;
        LJournal.FRegistryCopies += LRecord.Kind == "registry" ? 1 : 0;
    }
    return LJournal;
}

std::vector<fs::path> TInstallJournal::Unfinished(const fs::path& ADataDir) {
    std::vector<fs::path> LFolders;
    std::error_code LError;
    const fs::path LRoot = ADataDir / "Journals";
    if (ADataDir.empty() || !fs::is_directory(LRoot, LError)) {
        return LFolders;
    }
    for (const fs::directory_entry& LEntry : fs::directory_iterator(LRoot, LError)) {
        // A link in the journals' folder is nobody's journal.
        if (fs::is_directory(LEntry.symlink_status(LError))) {
            LFolders.push_back(LEntry.path());
        }
    }
    std::sort(LFolders.begin(), LFolders.end());
    return LFolders;
}

std::vector<std::pair<std::string, fs::path>>
TInstallJournal::UnfinishedVersions(const fs::path& ADataDir) {
    std::vector<std::pair<std::string, fs::path>> LFound;
    for (const fs::path& LFolder : Unfinished(ADataDir)) {
        try {
            const TInstallJournal LJournal = Open(LFolder);
            if (LJournal.Records().size() > 1) {
                LFound.emplace_back(LJournal.IDEVersion(), LFolder);
            }
        } catch (const std::exception&) {
            // Unreadable: nothing of it can be acted on.
        }
    }
    return LFound;
}

void TInstallJournal::Append(TRecordLine ALine) {
    AppendDurably(FFolder / KJournalFile, EncodeRecordLine(ALine));
    FRecords.push_back(std::move(ALine));
    if (BeforeChange && FRecords.size() > 1) {
        BeforeChange(FRecords.back());
    }
}

void TInstallJournal::FileWillBeWritten(const fs::path& AFile) {
    const std::string LPath = Utf8FromPath(AFile);
    for (const TRecordLine& LRecord : FRecords) {
        if ((LRecord.Kind == "created" || LRecord.Kind == "replaced") &&
            LRecord.Fields.front() == LPath) {
            return;
        }
    }
    std::error_code LError;
    if (!fs::exists(AFile, LError)) {
        Append({"created", {LPath}});
        return;
    }
    const std::string LKept = "kept-" + std::to_string(++FKept);
    // Created where nothing has the name, so a link put there is never written through.
    CopyFileNoOverwrite(Utf8FromPath(AFile), Utf8FromPath(FFolder / LKept));
    FlushToDisk(FFolder / LKept);
    Append({"replaced", {LPath, LKept}});
}

void TInstallJournal::CreateFolders(const fs::path& AFolder) {
    std::vector<fs::path> LMissing;
    std::error_code LError;
    for (fs::path LFolder = AFolder; !LFolder.empty() && !fs::exists(LFolder, LError);
         LFolder = LFolder.parent_path()) {
        if (LFolder.filename().empty()) {
            if (LFolder == LFolder.parent_path()) {
                break;
            }
            continue;
        }
        LMissing.push_back(LFolder);
        if (LFolder == LFolder.parent_path()) {
            break;
        }
    }
    for (auto LFolder = LMissing.rbegin(); LFolder != LMissing.rend(); ++LFolder) {
        Append({"folder", {Utf8FromPath(*LFolder)}});
        fs::create_directory(*LFolder);
    }
}

void TInstallJournal::RegistryWillChange(const fs::path& ABackup,
                                         const std::vector<std::string>& ANewKeys) {
    const std::string LCopy = "registry-" + std::to_string(++FRegistryCopies) + ".reg";
    CopyFileNoOverwrite(Utf8FromPath(ABackup), Utf8FromPath(FFolder / LCopy));
    FlushToDisk(FFolder / LCopy);
    TRecordLine LLine{"registry", {LCopy, Utf8FromPath(ABackup)}};
    LLine.Fields.insert(LLine.Fields.end(), ANewKeys.begin(), ANewKeys.end());
    Append(std::move(LLine));
}

std::vector<fs::path> TInstallJournal::WrittenFiles() const {
    std::vector<fs::path> LFiles;
    for (const TRecordLine& LRecord : FRecords) {
        if (LRecord.Kind == "created" || LRecord.Kind == "replaced") {
            LFiles.push_back(PathFromUtf8(LRecord.Fields.front()));
        }
    }
    return LFiles;
}

void TInstallJournal::UndoRegistry(const TRecordLine& ARecord, TRegistryStore& AStore,
                                   const TInstallRoots& ARoots, TRollback& AResult) const {
    const std::string& LCopy = ARecord.Fields.front();
    const std::string LBackup = ARecord.Fields.size() > 1 ? ARecord.Fields[1] : LCopy;
    if (!IsOwnName(LCopy, "registry-", ".reg")) {
        AResult.Refused.push_back("the registry file " +
                                  Quoted(Visible(ShortenedText(LCopy, 200))) +
                                  ", which is not the journal's own copy of a backup");
        return;
    }
    std::vector<TRegFileKey> LKeys;
    try {
        LKeys = ParseRegFile(ReadOwnFile(FFolder / LCopy));
    } catch (const std::exception& AError) {
        AResult.NotUndone.push_back("the registry changes (" + std::string(AError.what()) +
                                    "); their backup is \"" + LBackup + "\"");
        return;
    }
    // Only what a step of this version may change is put back; a file that
    // asks for more is not the installer's, and none of it is imported.
    for (const TRegFileKey& LKey : LKeys) {
        if (const std::string LWhy = ARoots.KeyRefusal(LKey.Path, LKey.Delete); !LWhy.empty()) {
            AResult.Refused.push_back("the registry file " + Quoted(Utf8FromPath(FFolder / LCopy)) +
                                      ": " + LWhy);
            return;
        }
    }
    std::string LRecordKey = RecordKey(ARoots.IDEVersion());
    LRecordKey.pop_back();
    try {
        ApplyRegFile(AStore, LKeys);
        for (std::size_t LIndex = 2; LIndex < ARecord.Fields.size(); ++LIndex) {
            const std::string& LKey = ARecord.Fields[LIndex];
            // Only the keys above the record can have been created for it.
            if (LKey.empty() || LRecordKey.size() <= LKey.size() ||
                !SameName(LRecordKey.substr(0, LKey.size() + 1), LKey + "\\")) {
                AResult.Refused.push_back("the removal of the key HKEY_CURRENT_USER\\" +
                                          Visible(ShortenedText(LKey, 200)));
                continue;
            }
            if (AStore.KeyExists(LKey) && AStore.SubKeyNames(LKey).empty() &&
                AStore.ValueNames(LKey).empty()) {
                AStore.DeleteKey(LKey);
            }
        }
    } catch (const std::exception& AError) {
        AResult.NotUndone.push_back("the registry changes (" + std::string(AError.what()) +
                                    "); their backup is \"" + LBackup + "\"");
    }
}

TInstallJournal::TRollback TInstallJournal::RollBack(TRegistryStore& AStore,
                                                     const TInstallRoots& ARoots) {
    TRollback LResult;
    if (!SameName(ARoots.IDEVersion(), FIDEVersion)) {
        LResult.Refused.push_back("the journal " + Quoted(Utf8FromPath(FFolder)) +
                                  ", which is not one of IDE version " +
                                  Quoted(ARoots.IDEVersion()));
        return LResult;
    }
    for (auto LRecord = FRecords.rbegin(); LRecord != FRecords.rend(); ++LRecord) {
        if (LRecord->Fields.empty() || LRecord->Kind == "begin") {
            continue;
        }
        if (LRecord->Kind == "registry") {
            UndoRegistry(*LRecord, AStore, ARoots, LResult);
            continue;
        }
        const std::string& LText = LRecord->Fields.front();
        const fs::path LPath = PathFromUtf8(LText);
        const std::string LWhy =
            LRecord->Kind == "folder" ? ARoots.FolderRefusal(LText) : ARoots.FileRefusal(LText);
        if (!LWhy.empty()) {
            LResult.Refused.push_back("the " + LRecord->Kind + " record of " + LWhy);
            continue;
        }
        std::error_code LError;
        if (LRecord->Kind == "created") {
            RemovePartials(LPath);
            if (fs::remove(LPath, LError); LError && fs::exists(fs::symlink_status(LPath))) {
                LResult.NotUndone.push_back("the new file \"" + LText + "\" (" + LError.message() +
                                            ")");
            }
        } else if (LRecord->Kind == "replaced" && LRecord->Fields.size() > 1) {
            RemovePartials(LPath);
            const std::string& LKeptName = LRecord->Fields[1];
            if (!IsOwnName(LKeptName, "kept-", "")) {
                LResult.Refused.push_back(
                    "the kept copy " + Quoted(Visible(ShortenedText(LKeptName, 200))) + " of \"" +
                    LText + "\", which is not a file of the journal's own");
                continue;
            }
            const fs::path LKept = FFolder / LKeptName;
            // A file the run never got to change needs nothing back.
            if (SameBytes(LKept, LPath)) {
                continue;
            }
            try {
                if (!fs::is_regular_file(fs::symlink_status(LKept))) {
                    throw std::runtime_error("its kept copy is not a plain file");
                }
                RestoreCopy(LKept, LPath);
            } catch (const std::exception& AError) {
                LResult.NotUndone.push_back("the replaced file \"" + LText + "\" (" +
                                            AError.what() + "); its earlier content is kept in \"" +
                                            Utf8FromPath(LKept) + "\"");
            }
        } else if (LRecord->Kind == "folder") {
            // Only an empty folder goes: one someone has put a file into since
            // stays, and a link or a file under the folder's name is not one.
            if (fs::is_directory(fs::symlink_status(LPath, LError))) {
                fs::remove(LPath, LError);
            }
        }
    }
    if (LResult.NotUndone.empty()) {
        Finish();
    }
    return LResult;
}

void TInstallJournal::Finish() {
    std::error_code LError;
    fs::remove_all(FFolder, LError);
    FRecords.clear();
}

} // namespace orvane
