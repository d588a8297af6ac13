#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace orvane {

class TRegistryStore;
class TInstallRoots;

// One line of a journal or a manifest: a kind and its fields.
struct TRecordLine {
    std::string Kind;
    std::vector<std::string> Fields;
    bool operator==(const TRecordLine&) const = default;
};

// "<crc32 of the rest> <kind>\t<field>...\n", tabs, line breaks and
// backslashes in the fields escaped: each line checks itself.
std::string EncodeRecordLine(const TRecordLine& ALine);
// The lines of AText up to the first one that is torn (no line end) or fails
// its check: what was written before a kill, whatever the kill cut off.
std::vector<TRecordLine> DecodeRecordLines(const std::string& AText);

// The undo log of one version's installation, kept in a folder of its own
// below "<data folder>/Journals" until the version is done. Each change is
// announced here before it is made; the announcement is on the disk when the
// call returns, so a run killed at any point leaves enough to undo what it did.
class TInstallJournal {
public:
    // Starts an empty journal for the installation of AIDEVersion.
    static TInstallJournal Begin(const std::filesystem::path& ADataDir,
                                 const std::string& AIDEVersion);
    // Reads the journal kept in AFolder (one that Unfinished listed).
    static TInstallJournal Open(const std::filesystem::path& AFolder);
    // Folders of journals that were neither finished nor rolled back.
    static std::vector<std::filesystem::path> Unfinished(const std::filesystem::path& ADataDir);
    // The IDE versions of those that recorded a change, each with its folder;
    // one that cannot be read names none.
    static std::vector<std::pair<std::string, std::filesystem::path>>
    UnfinishedVersions(const std::filesystem::path& ADataDir);

    // AFile will be written: recorded as created, or, when it exists, as
    // replaced after its present content is kept in the journal's folder.
    void FileWillBeWritten(const std::filesystem::path& AFile);
    // Creates AFolder with its missing parents, each recorded before it is made.
    void CreateFolders(const std::filesystem::path& AFolder);
    // The registry is about to change; importing ABackup (already on the disk)
    // puts back everything the change may touch. The journal keeps a copy of
    // its own, so the undo needs neither the backup's folder nor trusts a
    // file outside its own. ANewKeys, deepest first, do not exist yet and are
    // removed again when the import leaves them empty.
    void RegistryWillChange(const std::filesystem::path& ABackup,
                            const std::vector<std::string>& ANewKeys = {});

    struct TRollback {
        // What could not be undone, one text each; empty when all was.
        std::vector<std::string> NotUndone;
        // What the journal asked for outside what the installation owns, one
        // text each: left alone, and never counted as not undone.
        std::vector<std::string> Refused;
    };
    // Undoes every recorded change, newest first, and deletes the journal when
    // all of them were undone; otherwise the journal stays for another try and
    // NotUndone says what is left. A journal can be written by any process of
    // the user: only what ARoots allows is deleted, restored or imported.
    TRollback RollBack(TRegistryStore& AStore, const TInstallRoots& ARoots);
    // The version is installed: the journal is deleted, its kept copies too.
    void Finish();

    const std::string& IDEVersion() const { return FIDEVersion; }
    const std::filesystem::path& Folder() const { return FFolder; }
    // The changes recorded so far, oldest first.
    const std::vector<TRecordLine>& Records() const { return FRecords; }
    // Files recorded as created or replaced, in the order first recorded.
    std::vector<std::filesystem::path> WrittenFiles() const;

    // Tests only: called after each record is on the disk and before its
    // change is made, with the record.
    std::function<void(const TRecordLine&)> BeforeChange;

private:
    explicit TInstallJournal(std::filesystem::path AFolder) : FFolder(std::move(AFolder)) {}
    void Append(TRecordLine ALine);
    void UndoRegistry(const TRecordLine& ARecord, TRegistryStore& AStore,
                      const TInstallRoots& ARoots, TRollback& AResult) const;

    std::filesystem::path FFolder;
    std::string FIDEVersion;
    std::vector<TRecordLine> FRecords;
    int FKept = 0;
    int FRegistryCopies = 0;
};

} // namespace orvane
