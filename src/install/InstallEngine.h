#pragma once

#include "install/FileOperations.h"
#include "install/InstallHost.h"
#include "install/InstallJournal.h"
#include "registry/RegistryBackup.h"
#include "registry/RegistryData.h"
#include "server/Credentials.h"

#include <rapidjson/document.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

class TRegistryStore;
struct TBundleSource;
class TZipReader;
struct TInstallManifest;
class TInstallRoots;

// What an engine needs to know besides its host and the registry store.
struct TInstallSettings {
    // The API server; every download resolves against it.
    std::string ApiUrl;
    // The edition and the login every download's token request uses.
    TCredentials Credentials;
    // The installer's own folder (UTF-8): the SSL libraries are copied from
    // it, and an uninstallation's GetIt backups go into it.
    std::string ExeDir;
    // The IDE's executable, looked for among the running processes before the
    // registry is changed.
    std::string IDEProcessName = "bds.exe";
    // While a version is extracted, copied and registered, the next one's
    // package downloads, where nothing the user is asked first could change
    // that download. What the user sees keeps its order either way.
    bool OverlapDownloads = true;
    // Packages come from this bundle (a folder or a static web server), each
    // checked against the bundle's SHA-256, instead of the API server.
    std::shared_ptr<const TBundleSource> Bundle;
    // Where the journals of unfinished installations and the manifests of
    // installed versions are kept; empty: the registry store's data folder.
    std::filesystem::path DataDir;
    // Tests only: handed to every version's journal (TInstallJournal::BeforeChange).
    std::function<void(const TRecordLine&)> BeforeChange;
};

enum TVersionResult {
    vrInstalled,
    // Not installed because an answer said so ("23.0 1.4.2 is installed").
    vrSkipped,
    vrFailed,
};

// One version of an installation run, in the order of the run.
struct TVersionOutcome {
    // The entry's "version" as written ("" when it has none).
    std::string Version;
    // The package's file version.
    std::string FileVersion;
    TVersionResult Result = vrFailed;
    // Why it was skipped, or why it failed: its last log line, or the error
    // that ended it.
    std::string Reason;
    // The registry backups written for it.
    std::vector<std::string> BackupFiles;
    // It failed because its package's server could not be reached.
    bool ServerUnreachable = false;
    bool Installed() const { return Result == vrInstalled; }
};

// A question a run will ask, known before anything changes.
struct TPlannedQuestion {
    TQuestionId Id;
    // The IDE version it is asked for; empty for the whole run.
    std::string Version;
    // What the machine shows that brings it up.
    std::string Why;
};

struct TInstallRun {
    std::vector<TVersionOutcome> Versions;
    // The reasons of the versions not installed (failed or skipped), each
    // followed by "\r\n\r\n"; empty when every version was installed.
    std::string FailureReport;
    // The run was cancelled before every version was tried.
    bool Stopped = false;
    // The versions not installed, failed or skipped, as the window reports them.
    int Failures() const;
};

struct TUninstallOutcome {
    std::string IDEVersion;
    bool Removed = false;
    // The error that ended the removal.
    std::string Reason;
    // The registry backups written for it.
    std::vector<std::string> BackupFiles;
};

struct TUninstallRun {
    std::vector<TUninstallOutcome> Versions;
    // The user stopped at the running-IDE question: nothing was removed.
    bool Stopped = false;
    // The run was cancelled (a signal, a question interrupted) before every
    // version was tried; Versions holds those that were.
    bool Cancelled = false;
};

// One thing verify found wrong with an installation.
struct TVerifyProblem {
    enum TKind {
        vkFileMissing,
        vkFileChanged,
        vkValueMissing,
        vkNotAFile,
        vkConflict,
        vkUnverifiable,
        // The extracted package folder the search paths point into is gone.
        vkFolderMissing
    };
    TKind Kind = vkFileMissing;
    std::string IDEVersion;
    // One line naming the file or the key.
    std::string Text;
    // The file (vkFileMissing, vkFileChanged, vkNotAFile), or the key and value.
    std::string Path;
    std::string Key;
    std::string Name;
};

struct TVerifyReport {
    // The versions looked at, in order.
    std::vector<std::string> Versions;
    std::vector<TVerifyProblem> Problems;
};

// The installation and uninstallation of the framework without a window:
// downloads, extraction, copies, the IDE's registry and the safeguards around
// it. Runs on its host's thread and talks to the user only through the host.
// Failures of one version are reported and the run goes on; what goes wrong
// deep down (registry, zip, files) leaves InstallPackage as an exception.
class TInstallEngine {
public:
    TInstallEngine(std::shared_ptr<TInstallHost> AHost, TRegistryStore& AStore,
                   TInstallSettings ASettings);

    // Before the first version: asks about a running IDE, then offers to
    // remove the framework's GetIt installations (their backups go into
    // ADownloadDir). False: nothing may be installed (declined, or the
    // registry could not be read; a warning says why).
    bool PrepareInstallation(const std::string& ADownloadDir);
    // The questions PrepareInstallation and InstallVersions will ask for
    // AEntries as the machine is now: a running IDE, GetIt installations, a
    // package file already in ADownloadDir, a record of the same or a newer
    // version. Changes nothing; throws what reading the registry throws.
    std::vector<TPlannedQuestion>
    PlannedQuestions(const std::vector<const rapidjson::Value*>& AEntries,
                     const std::string& ADownloadDir);
    // Installs each entry in order. AIDEDir is asked anew for every version;
    // the download folder is taken once. With OverlapDownloads the next
    // entry's package may download while one installs; the log, progress,
    // questions and registry changes keep the order of one after the other.
    TInstallRun InstallVersions(const std::vector<const rapidjson::Value*>& AEntries,
                                const std::function<std::string()>& AIDEDir,
                                const std::string& ADownloadDir);
    // One version entry into the IDE folder AIDEDir. False when the version is
    // not installed and its last log line says why; throws what the zip, the
    // files or the registry throw.
    bool InstallPackage(const rapidjson::Value* AEntry, const std::string& AIDEDir,
                        const std::string& ADownloadDir);

    // True when no IDE is running, or the user chose to go on anyway; AStep
    // names what would be undone ("installation", "uninstallation").
    bool ConfirmNoRunningIDE(const std::string& AStep);
    // Offers the removal of each GetIt installation, backing it up into
    // ABackupDir first.
    void CleanupGetItInstallation(const std::string& ABackupDir);
    // Saves AKeys, the IDE keys AStep ("install", "uninstall") may change, into
    // a new .reg file in ABackupDir (or, when that fails and one is given,
    // AFallbackDir, saying so in the log) and logs its path. When it cannot be
    // written the reason is logged as an "<ERROR>" line and returned (empty:
    // written), and nothing may be changed.
    // AWritten, when given, receives the file's path.
    std::string BackupIDERegistry(const std::string& AIDEVersion, const std::string& AStep,
                                  const std::vector<TBackupKey>& AKeys,
                                  const std::filesystem::path& ABackupDir,
                                  const std::filesystem::path& AFallbackDir = {},
                                  std::filesystem::path* AWritten = nullptr);
    // "Backups" inside ADownloadDir.
    static std::filesystem::path BackupFolder(const std::string& ADownloadDir);
    // Where an uninstallation of ARecord's version keeps its backup: the
    // download folder its package came from, else the default one.
    static std::filesystem::path UninstallBackupFolder(const TOrvaneRegistryData& ARecord);

    // Removes each recorded IDE version in the order given, after asking about
    // a running IDE once; each outcome is also shown as a message.
    TUninstallRun UninstallVersions(const std::vector<std::string>& AIDEVersions,
                                    bool ARemoveFiles = false);
    // Removes one installation's registry entries (those its manifest lists,
    // and the installer's own forms by the marker rule) and its record. Files
    // stay unless ARemoveFiles: then the manifest's files unchanged since and
    // listed by no other installation go, and so does the extracted version
    // folder; changed files stay and are named. Throws what fails; the record
    // then stays.
    void UninstallVersion(const std::string& AIDEVersion, bool ARemoveFiles = false);

    // Checks each recorded installation of AIDEVersions (empty: all) against
    // its manifest: files there with their SHA-256, registry values there,
    // Known Packages paths that are files, and no other registered copy of
    // its packages from another folder.
    TVerifyReport Verify(const std::vector<std::string>& AIDEVersions);
    // The server's package entry for an IDE version (null: it offers none);
    // throws when the list cannot be had.
    using TPackageEntryLookup = std::function<const rapidjson::Value*(const std::string&)>;
    // Puts back what Verify finds missing or changed, from the extracted
    // version folder or the package zip where their SHA-256 still matches,
    // else from the package downloaded again (the entry APackageEntry finds,
    // asked once per version and only then), as one journaled step with a
    // registry backup per version; other copies of the packages are removed
    // only with ARemoveConflicts. Returns what is still wrong afterwards.
    TVerifyReport Repair(const std::vector<std::string>& AIDEVersions, bool ARemoveConflicts,
                         const TPackageEntryLookup& APackageEntry = {});

    // Rolls back every installation a killed or crashed run left unfinished;
    // each one is logged and shown as a warning, and its text returned. Call
    // before the first change of a run, with the store to oneself.
    std::vector<std::string> RecoverUnfinished();
    // Why AIDEVersion may not be changed now: a journal of an earlier
    // installation of it could not be rolled back completely, and a new
    // change would mix with what it has left. Empty when there is none.
    std::string StuckJournalText(const std::string& AIDEVersion) const;
    // Where journals and manifests are kept (TInstallSettings::DataDir).
    std::filesystem::path DataFolder() const;

    // The last line this engine logged.
    const std::string& LastLogLine() const { return FLastLine; }

private:
    struct TPackagePlan;
    struct TVersionWork;
    struct TDownloadState;
    struct TPrefetch;
    class TPrefetchHold;

    // Runs AWork on a thread of its own and returns when it is done, with what
    // it threw; the host thread meanwhile goes on processing its events. For
    // blocking work that calls no host (registry writes, which wait for the
    // disk), so the window is never held up by it.
    void AwayFromHost(const std::function<void()>& AWork);
    void Log(const std::string& ALine);
    // Points APlan at its package in FSettings.Bundle; false with AError when
    // the bundle has none for it.
    bool UseBundle(TPackagePlan& APlan, std::string& AError) const;
    bool Ask(TQuestionId AId, const std::string& AText);
    // AReserved: bytes the download leaves free on its drive for a version
    // still to be written.
    std::shared_ptr<TDownloadState> StartDownload(const TPackagePlan& APlan, bool AHeld,
                                                  std::uint64_t AReserved = 0);
    void WaitForDownload(TDownloadState& AState);
    bool FinishDownload(TDownloadState& AState, const TPackagePlan& APlan);
    // Starts the download of FNextEntry's package when nothing asked before it
    // at its turn could change it; ACurrent is the version being installed,
    // ACurrentNeeds what it is still to write.
    void PrefetchNext(const TPackagePlan& ACurrent, const std::vector<TSpaceNeed>& ACurrentNeeds);
    // The changes of one version, each through its journal.
    void ExtractJournaled(TVersionWork& AWork, TZipReader& AZip, const std::string& AEntryName,
                          const std::string& ADir);
    void CopyPackageFiles(TVersionWork& AWork, TZipReader& AZip);
    void CopySslLibraries(TVersionWork& AWork);
    void RegisterVersion(TVersionWork& AWork);
    void KeepManifest(TVersionWork& AWork);
    void RemoveInstalledFiles(const TInstallManifest& AManifest);
    // Downloads AEntry's package into ADownloadDir (SHA-256 checked when the
    // entry gives one) for a repair; its path, or nullopt with the reason logged.
    std::optional<std::string> DownloadAgain(const rapidjson::Value& AEntry,
                                             const std::string& ADownloadDir);
    // What an installation of AIDEVersion may change, from the registry and
    // the installer's own folders.
    TInstallRoots RootsFor(const std::string& AIDEVersion) const;
    // The manifest AIDEVersion's record names, confined to what that
    // installation owns; nullopt when there is none, throws as
    // ReadRecordManifest. ALines receives a log line for each thing taken out
    // and for a record whose folder disagrees with its manifest's (the
    // manifest's is the one used). Safe off the host thread.
    std::optional<TInstallManifest> OwnManifest(const std::string& AIDEVersion,
                                                std::vector<std::string>& ALines,
                                                std::filesystem::path* AFile = nullptr) const;
    // The manifest of AIDEVersion's installation, or what its extracted folder
    // implies when it was recorded without one, confined as OwnManifest;
    // nullopt when neither exists.
    std::optional<TInstallManifest> ManifestToCheck(const std::string& AIDEVersion,
                                                    std::vector<std::string>& ALines) const;
    // Undoes AJournal's changes; returns the text that reports it.
    std::string RollBackVersion(TInstallJournal& AJournal, const std::string& AReason);
    // Stops a prefetch nobody will take and removes what it wrote.
    void Discard(const std::shared_ptr<TPrefetch>& APrefetch);

    std::shared_ptr<TInstallHost> FHost;
    TRegistryStore& FStore;
    TInstallSettings FSettings;
    std::string FLastLine;
    // Why InstallPackage left its version out at the user's word; empty when
    // it did not.
    std::string FSkipReason;
    // The current version's download found no server to connect to.
    bool FServerUnreachable = false;
    // The registry backups written since the current version began.
    std::vector<std::string> FBackupFiles;
    // The entry after the one being installed, while InstallVersions runs.
    const rapidjson::Value* FNextEntry = nullptr;
    // The download started ahead for FNextEntry, until its turn takes it.
    std::shared_ptr<TPrefetch> FPrefetch;
};

} // namespace orvane
