#include "install/InstallEngine.h"

#include "install/FileOperations.h"
#include "install/InstallManifest.h"
#include "install/InstallRoots.h"
#include "install/PackageRules.h"
#include "install/PackageSpace.h"
#include "install/ZipReader.h"
#include "platform/DurableFile.h"
#include "platform/FileCopy.h"
#include "platform/FileNames.h"
#include "platform/HeldFile.h"
#include "platform/NewFile.h"
#include "platform/Processes.h"
#include "platform/SystemFolders.h"
#include "platform/Text.h"
#include "registry/CppPaths.h"
#include "registry/DelphiLibrary.h"
#include "registry/GetItInstallations.h"
#include "registry/IDELocations.h"
#include "registry/ProductRecords.h"
#include "registry/X64Packages.h"
#include "server/Bundle.h"
#include "server/DownloadResume.h"
#include "server/Downloader.h"
#include "server/HttpClient.h"
#include "server/Protocol.h"
#include "server/Sha256.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

namespace orvane {

const char* QuestionIdName(TQuestionId AId) {
    switch (AId) {
    case TQuestionId::ExistingZip:
        return "ExistingZip";
    case TQuestionId::OlderVersionInstalled:
        return "OlderVersionInstalled";
    case TQuestionId::GetItCleanup:
        return "GetItCleanup";
    case TQuestionId::GetItRemove:
        return "GetItRemove";
    case TQuestionId::IdeRunning:
        return "IdeRunning";
    }
    return "";
}

// The values of an entry that decide its download.
struct TInstallEngine::TPackagePlan {
    const rapidjson::Value* Entry = nullptr;
    std::string Version;
    std::string FileVersion;
    std::string FileName;
    std::string PackagePath;
    std::string Url;
    std::optional<std::string> Sha256;
    // A package in a bundle folder, copied instead of downloaded.
    std::string SourceFile;
    // The size a bundle gives for it: not a byte more is taken.
    std::uint64_t DeclaredSize = 0;

    // False with AError (the log line without "<ERROR> ") when the entry
    // cannot be downloaded as it is.
    static bool Make(const rapidjson::Value& AEntry, const std::string& ADownloadDir,
                     TPackagePlan& APlan, std::string& AError) {
        APlan.Entry = &AEntry;
        if (!ReadExpectedSha256(AEntry, APlan.Sha256, AError)) {
            return false;
        }
        if (AError = UnusableEntryName(AEntry); !AError.empty()) {
            return false;
        }
        const std::string LFile = ReadMemberTextOrEmpty(AEntry, "file");
        APlan.Url = PackageEndpoint(AEntry);
        APlan.Version = ReadMemberText(AEntry, "version").value_or("0.0");
        // It goes into the log and the record.
        APlan.FileVersion = WithoutControlCharacters(
            PackageFileVersion(ReadMemberText(AEntry, "file_version"), LFile));
        APlan.FileName = PackageFileName(LFile, APlan.Version, APlan.FileVersion);
        APlan.PackagePath = ADownloadDir + APlan.FileName;
        return true;
    }
};

// Shared by the engine and the download handlers, which may outlive the call.
// Everything but the digest is touched on the host thread only.
struct TInstallEngine::TDownloadState {
    bool LDone = false;
    bool LHasErr = false;
    std::string LErrMsg;
    // The partial file's name was taken before the transfer began: what is
    // there is not this download's to remove.
    bool LPartialNotOurs = false;
    // No connection could be made to the server.
    bool LUnreachable = false;
    // Digest of a complete download, written on the transfer thread before the
    // final notification.
    std::string LReceivedSha256;
    // What the transfer did on its own (tried again, resumed), kept while Held.
    std::vector<std::string> HeldNotes;
    // Set when nobody wants the answer any more.
    std::shared_ptr<std::atomic<bool>> Cancelled = std::make_shared<std::atomic<bool>>(false);
    // Progress is kept, not shown, until the version's turn (Replay).
    bool Held = false;
    bool Started = false;
    std::int64_t Bytes = 0;
    std::int64_t Total = -1;
    std::chrono::steady_clock::time_point Began;
    std::chrono::steady_clock::time_point LastProgress;
    // The error of a download started ahead that reached the room the version
    // before it keeps on the drive; empty when it keeps none.
    std::string RoomStop;

    bool StoppedForRoom() const { return LHasErr && !RoomStop.empty() && LErrMsg == RoomStop; }

    double Rate() const {
        const double LSeconds = std::chrono::duration<double>(LastProgress - Began).count();
        return LSeconds > 0 ? Bytes / LSeconds : -1;
    }
    // What the held download reported so far, as one start and its newest
    // count; from then on it reports as it goes.
    void Replay(TInstallHost& AHost, const std::string& AVersion) {
        Held = false;
        for (const std::string& LNote : std::exchange(HeldNotes, {})) {
            AHost.Log(LNote);
        }
        if (!Started) {
            return;
        }
        AHost.Progress({TProgressPhase::ppDownloadStarted, AVersion, 0, Total, -1});
        if (Bytes > 0) {
            AHost.Progress({TProgressPhase::ppDownloading, AVersion, Bytes, Total, Rate()});
        }
    }
};

// A download started ahead of its version's turn.
struct TInstallEngine::TPrefetch {
    TPackagePlan Plan;
    std::shared_ptr<TDownloadState> State;
};

// Holds the prefetch a version took at its turn, and discards it on every way
// out that did not use it.
class TInstallEngine::TPrefetchHold {
public:
    TPrefetchHold(TInstallEngine& AEngine, std::shared_ptr<TPrefetch> APrefetch)
        : FEngine(AEngine), FPrefetch(std::move(APrefetch)) {}
    ~TPrefetchHold() {
        if (FPrefetch) {
            FEngine.Discard(FPrefetch);
        }
    }
    TPrefetchHold(const TPrefetchHold&) = delete;
    TPrefetchHold& operator=(const TPrefetchHold&) = delete;
    TPrefetch* Get() const { return FPrefetch.get(); }
    void Used() { FPrefetch.reset(); }
    // Removes what it wrote now.
    void Drop() { FEngine.Discard(std::exchange(FPrefetch, nullptr)); }

private:
    TInstallEngine& FEngine;
    std::shared_ptr<TPrefetch> FPrefetch;
};

int TInstallRun::Failures() const {
    return static_cast<int>(std::count_if(Versions.begin(), Versions.end(),
                                          [](const TVersionOutcome& A) { return !A.Installed(); }));
}

TInstallEngine::TInstallEngine(std::shared_ptr<TInstallHost> AHost, TRegistryStore& AStore,
                               TInstallSettings ASettings)
    : FHost(std::move(AHost)), FStore(AStore), FSettings(std::move(ASettings)) {
    if (!FHost) {
        throw std::invalid_argument("the installation engine needs a host");
    }
}

void TInstallEngine::Log(const std::string& ALine) {
    FLastLine = WithoutControlCharacters(ALine);
    FHost->Log(FLastLine);
}

bool TInstallEngine::Ask(TQuestionId AId, const std::string& AText) {
    return FHost->Ask(TQuestion{AId, AText, false});
}

bool TInstallEngine::UseBundle(TPackagePlan& APlan, std::string& AError) const {
    if (!FSettings.Bundle) {
        return true;
    }
    const TBundlePackage* LPackage = FSettings.Bundle->Bundle.Find(APlan.FileName);
    if (!LPackage || LPackage->IDEVersion != APlan.Version) {
        AError = "The bundle " + FSettings.Bundle->Location + " holds no package " +
                 Quoted(APlan.FileName) + " for " + Quoted(APlan.Version);
        return false;
    }
    // Whatever the entry says of a digest, the bundle's is the one checked.
    APlan.Sha256 = LPackage->Sha256;
    APlan.Url = FSettings.Bundle->PackageLocation(*LPackage);
    APlan.SourceFile = FSettings.Bundle->Web ? "" : APlan.Url;
    APlan.DeclaredSize = LPackage->Size;
    return true;
}

bool TInstallEngine::PrepareInstallation(const std::string& ADownloadDir) {
    if (!ConfirmNoRunningIDE("installation")) {
        return false;
    }
    // A broken registry must not take the front end down.
    try {
        if (HasGetItInstallation(FStore)) {
            FHost->Warning("You have installed Orvane by GetIt Package Manager. Please uninstall "
                           "first before continuing.");
            if (!Ask(TQuestionId::GetItCleanup,
                     "Orvane Installer offers to remove those registry entries manually.\r\n"
                     "CAUTION: Removing those entries might cause path conflicts. Use it only to "
                     "cleanup your installations!\r\nDo you want to remove those registry entries "
                     "manually now?")) {
                return false;
            }
            // The backups go where the packages will go, which may not exist yet.
            ForceDirectories(IncludeTrailingPathDelimiter(ADownloadDir));
            CleanupGetItInstallation(ADownloadDir);
        }
    } catch (const EStopped&) {
        throw;
    } catch (const std::exception& AError) {
        FHost->Warning(AError.what());
        return false;
    }
    return true;
}

std::vector<TPlannedQuestion>
TInstallEngine::PlannedQuestions(const std::vector<const rapidjson::Value*>& AEntries,
                                 const std::string& ADownloadDir) {
    std::vector<TPlannedQuestion> LQuestions;
    const auto LProcesses = FindRunningProcesses(FSettings.IDEProcessName);
    if (!LProcesses.empty()) {
        LQuestions.push_back({TQuestionId::IdeRunning, "",
                              "the IDE is running (" + LProcesses.front().Name + ", process " +
                                  std::to_string(LProcesses.front().Pid) + ")"});
    }
    if (HasGetItInstallation(FStore)) {
        LQuestions.push_back(
            {TQuestionId::GetItCleanup, "", "GetIt installed the framework for this IDE"});
    }
    const std::string LDownloadDir = IncludeTrailingPathDelimiter(ADownloadDir);
    for (const rapidjson::Value* LEntry : AEntries) {
        TPackagePlan LPlan;
        if (std::string LError; LEntry == nullptr || !LEntry->IsObject() ||
                                !TPackagePlan::Make(*LEntry, LDownloadDir, LPlan, LError)) {
            continue;
        }
        if (FileExists(LPlan.PackagePath)) {
            LQuestions.push_back({TQuestionId::ExistingZip, LPlan.Version,
                                  "the package file " + LPlan.PackagePath + " already exists"});
        }
        TOrvaneRegistryData LRecord;
        if (ReadRegistryData(FStore, LPlan.Version, LRecord) &&
            CompareVersions(LRecord.Version, LPlan.FileVersion) >= 0) {
            LQuestions.push_back({TQuestionId::OlderVersionInstalled, LPlan.Version,
                                  LPlan.Version + " " + LRecord.Version + " is installed"});
        }
    }
    return LQuestions;
}

TInstallRun TInstallEngine::InstallVersions(const std::vector<const rapidjson::Value*>& AEntries,
                                            const std::function<std::string()>& AIDEDir,
                                            const std::string& ADownloadDir) {
    const std::string LDownloadDir = IncludeTrailingPathDelimiter(ADownloadDir);
    // No download started ahead outlives the run, however it ends.
    struct TRunEnd {
        TInstallEngine& Engine;
        ~TRunEnd() {
            Engine.FNextEntry = nullptr;
            Engine.Discard(std::exchange(Engine.FPrefetch, nullptr));
        }
    } LRunEnd{*this};
    TInstallRun LRun;
    if (FSettings.Bundle) {
        Log("Installing from " + FSettings.Bundle->Description());
    }
    for (std::size_t LIndex = 0; LIndex < AEntries.size(); ++LIndex) {
        if (FHost->Cancellation().IsCancelled()) {
            Log("Installation stopped: " + FHost->Cancellation().Reason() + "; " +
                std::to_string(AEntries.size() - LIndex) + " version(s) not installed.");
            LRun.Stopped = true;
            return LRun;
        }
        FNextEntry = FSettings.OverlapDownloads && LIndex + 1 < AEntries.size()
                         ? AEntries[LIndex + 1]
                         : nullptr;
        TVersionOutcome LOutcome;
        if (AEntries[LIndex] && AEntries[LIndex]->IsObject()) {
            LOutcome.Version = ReadMemberTextOrEmpty(*AEntries[LIndex], "version");
            LOutcome.FileVersion =
                PackageFileVersion(ReadMemberText(*AEntries[LIndex], "file_version"),
                                   ReadMemberTextOrEmpty(*AEntries[LIndex], "file"));
        }
        FSkipReason.clear();
        FBackupFiles.clear();
        FServerUnreachable = false;
        try {
            if (InstallPackage(AEntries[LIndex], AIDEDir(), LDownloadDir)) {
                LOutcome.Result = vrInstalled;
            } else if (!FSkipReason.empty()) {
                LOutcome.Result = vrSkipped;
                LOutcome.Reason = FSkipReason;
            } else {
                LOutcome.Reason = FLastLine;
            }
        } catch (const EStopped&) {
            // Stopped at a question, before this version touched the IDE or the registry.
            Log("Installation stopped: " + FHost->Cancellation().Reason() + "; " +
                std::to_string(AEntries.size() - LIndex) + " version(s) not installed.");
            LRun.Stopped = true;
            return LRun;
        } catch (const std::exception& AError) {
            // Shown at once, and kept for the report: this version is not installed.
            LOutcome.Reason = AError.what();
            Log("<ERROR> " + LOutcome.Reason);
            FHost->Warning(LOutcome.Reason);
        }
        LOutcome.BackupFiles = std::exchange(FBackupFiles, {});
        LOutcome.ServerUnreachable = LOutcome.Result == vrFailed && FServerUnreachable;
        FNextEntry = nullptr;
        // Its own download ahead, when the version ended before it took it.
        if (FPrefetch && FPrefetch->Plan.Entry == AEntries[LIndex]) {
            Discard(std::exchange(FPrefetch, nullptr));
        }
        if (!LOutcome.Installed()) {
            // The window reports a skipped version as it always did: by its last line.
            LRun.FailureReport +=
                (LOutcome.Result == vrSkipped ? FLastLine : LOutcome.Reason) + "\r\n\r\n";
        }
        LRun.Versions.push_back(std::move(LOutcome));
    }
    return LRun;
}

std::shared_ptr<TInstallEngine::TDownloadState>
TInstallEngine::StartDownload(const TPackagePlan& APlan, bool AHeld, std::uint64_t AReserved) {
    auto LState = std::make_shared<TDownloadState>();
    LState->Held = AHeld;
    auto* LDownloader = new TDownloader(FSettings.ApiUrl, "", FHost);
    LDownloader->Credentials = FSettings.Credentials;
    // The sign-in waits on the server on the transfer's thread: a slow token
    // answer holds up neither the version being installed nor a cancel.
    LDownloader->SignInAway = true;
    *LState->Cancelled = FHost->Cancellation().IsCancelled();
    LDownloader->Cancelled = LState->Cancelled;
    const TDownloadLimit LLimit = PackageDownloadLimit(
        Utf8FromPath(PathFromUtf8(APlan.PackagePath).parent_path()), AReserved);
    if (LLimit.ByReserved) {
        LState->RoomStop = AnswerTooLargeText(LLimit.Bytes, LLimit.Reason);
    }
    LDownloader->MaxSize = LLimit.Bytes;
    LDownloader->MaxSizeReason = LLimit.Reason;
    if (APlan.DeclaredSize > 0 && APlan.DeclaredSize < LLimit.Bytes) {
        LDownloader->MaxSize = APlan.DeclaredSize;
        LDownloader->MaxSizeReason = "the size the bundle gives for it";
    }
    LDownloader->Resumable = true;
    LDownloader->SourceFile = APlan.SourceFile;
    LDownloader->OnNote = [LHost = FHost, LState](const std::string& ALine) {
        if (LState->Held) {
            LState->HeldNotes.push_back(ALine);
        } else {
            LHost->Log(ALine);
        }
    };
    // The handlers run on the host thread and may outlive this call.
    LDownloader->OnStarted = [LHost = FHost, AVersion = APlan.Version,
                              LState](TDownloader& ASender) {
        LState->Started = true;
        LState->Began = LState->LastProgress = std::chrono::steady_clock::now();
        LState->Bytes = 0;
        LState->Total = ASender.MaxProgress;
        if (!LState->Held) {
            LHost->Progress({TProgressPhase::ppDownloadStarted, AVersion, 0, LState->Total, -1});
        }
    };
    LDownloader->OnProgress = [LHost = FHost, AVersion = APlan.Version,
                               LState](TDownloader& ASender) {
        LState->LastProgress = std::chrono::steady_clock::now();
        LState->Bytes = ASender.Progress;
        LState->Total = ASender.MaxProgress;
        if (!LState->Held) {
            LHost->Progress({TProgressPhase::ppDownloading, AVersion, LState->Bytes, LState->Total,
                             LState->Rate()});
        }
    };
    // The downloader hashes the whole file as it is written (a resumed part
    // included); it is checked before the zip takes its final name.
    if (APlan.Sha256) {
        LDownloader->OnVerify = [LDownloader, LState, LExpected = *APlan.Sha256] {
            LState->LReceivedSha256 = LDownloader->Sha256();
            if (LState->LReceivedSha256 != LExpected) {
                throw std::runtime_error("SHA-256 mismatch");
            }
        };
    }
    LDownloader->OnError = [LState](const std::exception& AError) {
        LState->LPartialNotOurs = dynamic_cast<const EFileExists*>(&AError) != nullptr;
        const auto* LHttpError = dynamic_cast<const THttpError*>(&AError);
        LState->LUnreachable = LHttpError != nullptr && LHttpError->Unreachable();
        LState->LDone = true;
        LState->LErrMsg = AError.what();
        LState->LHasErr = true;
    };
    LDownloader->OnCompleted = [LState](TDownloader&) { LState->LDone = true; };
    LDownloader->Download(APlan.Url, APlan.PackagePath, true);
    return LState;
}

void TInstallEngine::WaitForDownload(TDownloadState& AState) {
    bool LAborted = false;
    while (!AState.LDone) {
        FHost->ProcessPending();
        // A cancelled run stops its download; the error path below then
        // removes the partial file and says so.
        if (FHost->Cancellation().IsCancelled() && !LAborted) {
            LAborted = true;
            TDownloader::AbortAll(*FHost);
            continue;
        }
        std::this_thread::sleep_for(KHostPumpStep);
    }
}

bool TInstallEngine::FinishDownload(TDownloadState& AState, const TPackagePlan& APlan) {
    WaitForDownload(AState);
    if (!AState.LHasErr) {
        return true;
    }
    const std::string LPartial = TDownloader::PartialFileName(APlan.PackagePath);
    const std::string LResumeState = ResumeStateFileName(APlan.PackagePath);
    // A partial name taken before the transfer began is somebody else's: it
    // stays. A stopped run keeps what arrived for the next one; a version given
    // up (its retries spent, a refusal, a mismatch) leaves nothing behind.
    const bool LKeep =
        FHost->Cancellation().IsCancelled() && FileExists(LPartial) && FileExists(LResumeState);
    if (LKeep && !AState.LPartialNotOurs) {
        Log("The partial download " + LPartial + " is kept: the next run continues it");
    } else if (!AState.LPartialNotOurs) {
        if (FileExists(LPartial)) {
            RemoveFile(LPartial);
            Log("Downloaded file deleted: " + LPartial);
        }
        if (FileExists(LResumeState)) {
            RemoveFile(LResumeState);
        }
    }
    if (APlan.Sha256 && !AState.LReceivedSha256.empty() &&
        AState.LReceivedSha256 != *APlan.Sha256) {
        const std::string LMessage = "<ERROR> SHA-256 mismatch for " + Quoted(APlan.FileName) +
                                     ": expected " + *APlan.Sha256 + ", received " +
                                     AState.LReceivedSha256 + "; the download is deleted";
        Log(LMessage);
        FHost->Warning(LMessage);
        return false;
    }
    FServerUnreachable = AState.LUnreachable;
    Log("Failed to download package: " + APlan.FileName +
        " (Temporary=" + Quoted(APlan.PackagePath) + ")\r\n" + AState.LErrMsg);
    return false;
}

void TInstallEngine::PrefetchNext(const TPackagePlan& ACurrent,
                                  const std::vector<TSpaceNeed>& ACurrentNeeds) {
    const rapidjson::Value* LEntry = std::exchange(FNextEntry, nullptr);
    if (LEntry == nullptr || !LEntry->IsObject() || FPrefetch ||
        FHost->Cancellation().IsCancelled()) {
        return;
    }
    const std::string LDownloadDir =
        ACurrent.PackagePath.substr(0, ACurrent.PackagePath.size() - ACurrent.FileName.size());
    TPackagePlan LNext;
    if (std::string LError;
        !TPackagePlan::Make(*LEntry, LDownloadDir, LNext, LError) || !UseBundle(LNext, LError)) {
        return;
    }
    // This version writes these names into the download folder; the next one
    // must write none of them, or the two would meet where today they follow
    // one another.
    for (const std::string& LMine :
         {ACurrent.FileName, TDownloader::PartialFileName(ACurrent.FileName), ACurrent.Version,
          std::string("Backups")}) {
        if (SameName(LMine, LNext.FileName) ||
            SameName(LMine, TDownloader::PartialFileName(LNext.FileName))) {
            return;
        }
    }
    // A package already there is asked about at its turn; a record this
    // version may still write could bring up the already-installed question.
    if (LNext.Version == ACurrent.Version || FileExists(LNext.PackagePath)) {
        return;
    }
    try {
        TOrvaneRegistryData LRecord;
        if (ReadRegistryData(FStore, LNext.Version, LRecord) &&
            CompareVersions(LRecord.Version, LNext.FileVersion) >= 0) {
            return;
        }
    } catch (const std::exception&) {
        // Its turn reads the record again and reports what is wrong.
        return;
    }
    // The current version has yet to write its files; the download ahead
    // leaves it that room (and the margin every download leaves), or waits.
    const std::uint64_t LReserved = NeedsOnDriveOf(ACurrentNeeds, LDownloadDir);
    const std::optional<std::uint64_t> LAvailable = AvailableSpace(LDownloadDir);
    if (LAvailable && *LAvailable <= KDownloadMargin + LReserved) {
        return;
    }
    auto LPrefetch = std::make_shared<TPrefetch>();
    LPrefetch->Plan = std::move(LNext);
    LPrefetch->State = StartDownload(LPrefetch->Plan, true, LReserved);
    FPrefetch = std::move(LPrefetch);
}

void TInstallEngine::Discard(const std::shared_ptr<TPrefetch>& APrefetch) {
    if (!APrefetch) {
        return;
    }
    TDownloadState& LState = *APrefetch->State;
    try {
        if (!LState.LDone) {
            *LState.Cancelled = true;
            // A silent server may never send the block that sees the flag.
            TDownloader::AbortAll(*FHost);
            while (!LState.LDone) {
                FHost->ProcessPending();
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        // The transfer lets go of its file just after its final notification;
        // Windows deletes no file that is still open.
        const auto LDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (TDownloader::ActiveTransfers() > 0 && std::chrono::steady_clock::now() < LDeadline) {
            FHost->ProcessPending();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // Its version never got to it: the download folder is left as a run
        // without the early download leaves it.
        if (!LState.LPartialNotOurs) {
            RemoveFile(TDownloader::PartialFileName(APrefetch->Plan.PackagePath));
            if (FileExists(ResumeStateFileName(APrefetch->Plan.PackagePath))) {
                RemoveFile(ResumeStateFileName(APrefetch->Plan.PackagePath));
            }
        }
        if (!LState.LHasErr) {
            RemoveFile(APrefetch->Plan.PackagePath);
        }
    } catch (const std::exception&) {
        // Nothing here may end the run; a file left behind is asked about next time.
    }
}

// What one version's changes need, and what they did.
struct TInstallEngine::TVersionWork {
    TInstallJournal& Journal;
    std::string Version;
    std::string FileVersion;
    std::string PackageType;
    std::string VersionDir;
    std::string CommonDir;
    std::string BinDir;
    std::string DownloadDir;
    std::string PackagePath;
    std::string PlatformList;
    std::vector<std::string> Platforms;
    std::string Bpls;
    std::string Dcps;
    std::string Dlls;
    TKnownPackagePairs Pairs;
    TKnownPackagePairs Pairs64;
    std::vector<TManifestFile> Files;
    std::vector<TManifestValue> Values;
    // The manifest this installation replaces, and its file, deleted once
    // it is done.
    std::optional<TInstallManifest> Earlier;
    std::filesystem::path EarlierManifest;
    // Taken through the opening the package was extracted from.
    std::string PackageSha256;

    void Written(const std::string& APath, const std::string& AKind, const std::string& ASource) {
        for (TManifestFile& LFile : Files) {
            if (LFile.Path == APath) {
                LFile.SourceKind = AKind;
                LFile.Source = ASource;
                return;
            }
        }
        Files.push_back({APath, 0, "", AKind, ASource});
    }
};

bool TInstallEngine::InstallPackage(const rapidjson::Value* AEntry, const std::string& AIDEDir,
                                    const std::string& ADownloadDir) {
    if (AEntry == nullptr || !AEntry->IsObject()) {
        return false;
    }
    const rapidjson::Value& LEntry = *AEntry;
    const std::string LSep(1, PathDelimiter());

    TPackagePlan LPlan;
    if (std::string LError;
        !TPackagePlan::Make(LEntry, ADownloadDir, LPlan, LError) || !UseBundle(LPlan, LError)) {
        Log("<ERROR> " + LError);
        return false;
    }
    // The IDE's own folder is never made up: a wrong IDE directory (a typing
    // error, a default where no IDE is) would get DLLs of its own otherwise.
    // An entry without a version is refused later, after its extraction.
    if (const std::string LStuck = StuckJournalText(LPlan.Version); !LStuck.empty()) {
        Log("<ERROR> " + LStuck);
        return false;
    }
    const std::string LIDEVersionDir = AIDEDir + LPlan.Version + LSep;
    if (ReadMemberText(LEntry, "version") && !DirectoryExists(LIDEVersionDir)) {
        Log("<ERROR> The IDE folder " + Quoted(LIDEVersionDir) +
            " does not exist: the IDE directory does not hold this IDE version");
        return false;
    }
    if (!DirectoryExists(ADownloadDir) && !ForceDirectories(ADownloadDir)) {
        Log("<ERROR> Failed to create directory: " + Quoted(ADownloadDir));
        return false;
    }
    // The download started ahead for this entry, if any; it was started only
    // where the package was not there before, so no question is skipped.
    TPrefetchHold LPrefetch(*this, FPrefetch && FPrefetch->Plan.Entry == AEntry &&
                                           FPrefetch->Plan.PackagePath == LPlan.PackagePath
                                       ? std::exchange(FPrefetch, nullptr)
                                       : nullptr);

    const std::string& LVersion = LPlan.Version;
    const std::string& LFileVersion = LPlan.FileVersion;
    const std::string& LFileName = LPlan.FileName;
    const std::string& LPackagePath = LPlan.PackagePath;
    const std::optional<std::string>& LSha256 = LPlan.Sha256;
    const std::string LPackageType =
        PackageType(ReadMemberTextOrEmpty(LEntry, "name"), FSettings.Credentials.Mode);
    const std::string LVersionDir = IncludeTrailingPathDelimiter(ADownloadDir) + LVersion + LSep;

    // The package is opened once and read only through that opening: what its
    // SHA-256 is taken of is what is extracted, whatever happens to its name
    // meanwhile (the download folder may be one every user can write to).
    std::shared_ptr<const THeldFile> LHeld;
    std::string LHeldSha256;
    const auto LHold = [&] {
        AwayFromHost([&] {
            LHeld = std::make_shared<const THeldFile>(LPackagePath);
            LHeldSha256 = Sha256OfFile(*LHeld);
        });
    };

    // A file already there was not downloaded in this run: it may be the
    // user's, so it is never replaced without asking, matching or not.
    if (!LPrefetch.Get() && FileExists(LPackagePath)) {
        Log("Package file " + LPackagePath + " already exists");
        LHold();
        std::string LMismatch;
        if (LSha256 && LHeldSha256 != *LSha256) {
            LMismatch = "Package file " + LPackagePath + " does not match its SHA-256 (expected " +
                        *LSha256 + ", found " + LHeldSha256 + ")";
            Log(LMismatch);
        }
        if (Ask(TQuestionId::ExistingZip,
                "The package file " + Quoted(LPackagePath) + " already exists." +
                    (LMismatch.empty()
                         ? ""
                         : " It does not match the SHA-256 the server gives for it.") +
                    "\r\n\r\nDo you want to delete it and download again?")) {
            Log("Deleting existing package file " + LPackagePath);
            LHeld.reset();
            RemoveFile(LPackagePath);
        } else if (!LMismatch.empty()) {
            Log("<ERROR> " + LMismatch + "; it was kept, and the version is not installed");
            return false;
        }
    }

    Log("Reading Orvane registry entry for " + Quoted(LVersion));
    TOrvaneRegistryData LRecord;
    if (ReadRegistryData(FStore, LVersion, LRecord) &&
        CompareVersions(LRecord.Version, LFileVersion) >= 0) {
        if (!Ask(TQuestionId::OlderVersionInstalled,
                 "You try to install version " +
                     Quoted(ShortenedText(LFileVersion, KShownValueBytes)) +
                     ", but a Orvane version " +
                     Quoted(ShortenedText(LRecord.Version, KShownValueBytes)) +
                     " is already installed.\r\n\r\nDo you want to continue?")) {
            FSkipReason = LVersion + " " + LRecord.Version + " is installed";
            return false;
        }
    }

    const bool LDownloaded = LPrefetch.Get() || !FileExists(LPackagePath);
    if (LDownloaded) {
        Log("Downloading " + Quoted(LFileName) + " ...");
        std::shared_ptr<TDownloadState> LState;
        if (TPrefetch* LEarly = LPrefetch.Get()) {
            LState = LEarly->State;
            LState->Replay(*FHost, LVersion);
            WaitForDownload(*LState);
            if (LState->StoppedForRoom()) {
                // It stopped to leave the version before it room on the drive;
                // that version is done now, so the package comes again as it
                // would have without the early start.
                LPrefetch.Drop();
                LState = StartDownload(LPlan, false);
            } else if (LState->LHasErr && !LState->LPartialNotOurs &&
                       !FHost->Cancellation().IsCancelled()) {
                // What failed ahead of its turn (a passing server fault, a
                // sign-in that timed out) gets the try it would have had
                // without the early start, and shows only that one; a part
                // it can continue stays.
                const std::string LPartial = TDownloader::PartialFileName(LPackagePath);
                if (FileExists(LPartial) && FileExists(ResumeStateFileName(LPackagePath))) {
                    LPrefetch.Used();
                } else {
                    LPrefetch.Drop();
                }
                LState = StartDownload(LPlan, false);
            } else {
                LPrefetch.Used();
            }
        } else {
            LState = StartDownload(LPlan, false);
        }
        if (!FinishDownload(*LState, LPlan)) {
            return false;
        }
    }
    // The download's own hash covered what it wrote, and a file found there
    // was checked when it was found; the name may have been given to other
    // bytes since. What is extracted is what is checked here.
    if (!LHeld) {
        LHold();
    }
    if (LSha256 && LHeldSha256 != *LSha256) {
        Log("<ERROR> The package file " + Quoted(LPackagePath) + " changed since it was " +
            (LDownloaded ? "downloaded" : "checked") + ": its SHA-256 is " + LHeldSha256 +
            ", expected " + *LSha256 + "; the version is not installed");
        return false;
    }

    Log("Extracting package " + Quoted(LFileName) + " ...");
    // Opening reads the whole directory of a zip that may hold thousands of
    // entries, and checking it looks at each one: both away from the host.
    std::unique_ptr<TZipReader> LOpened;
    AwayFromHost([&] { LOpened = std::make_unique<TZipReader>(LHeld); });
    TZipReader& LZip = *LOpened;
    LZip.SetPump([LHost = FHost] { LHost->ProcessPending(); });
    LZip.SetProgress([this, LVersion](std::int64_t AWritten, std::int64_t ATotal) {
        FHost->Progress({TProgressPhase::ppExtracting, LVersion, AWritten, ATotal, -1});
    });

    if (!ReadMemberText(LEntry, "version")) {
        Log("<ERROR> The package entry has no \"version\"");
        return false;
    }

    const std::string LCommonDir = GetIDECommonDir(FStore, LVersion);
    const std::string LBinDir = LIDEVersionDir + "bin" + LSep;
    AwayFromHost([&] { LZip.CheckArchive(); });
    const std::vector<TSpaceNeed> LNeeds =
        PackageSpaceNeeds(LZip, LEntry, LVersionDir, LCommonDir, LBinDir);
    RequireFreeSpace(LNeeds);
    PrefetchNext(LPlan, LNeeds);

    Log("Extracting all files for " + Quoted(LVersion) + " into " + Quoted(LVersionDir));
    LZip.ExtractAll(LVersionDir);

    const std::optional<std::string> LBpls = ReadMemberText(LEntry, "bpls");
    const std::optional<std::string> LDcps = ReadMemberText(LEntry, "dcps");
    const std::string LDlls = ReadMemberTextOrEmpty(LEntry, "dlls");
    const std::optional<std::string> LPlatformList = ReadMemberText(LEntry, "platforms");
    std::string LMissing;
    for (const auto& [LName, LValue] : {std::pair{"bpls", &LBpls}, std::pair{"dcps", &LDcps},
                                        std::pair{"platforms", &LPlatformList}}) {
        if (!*LValue) {
            LMissing += (LMissing.empty() ? "" : ", ") + Quoted(LName);
        }
    }
    if (!LMissing.empty()) {
        Log("<ERROR> The package entry has no " + LMissing);
        return false;
    }
    // From here on every change to the IDE's folders and registry goes through
    // the version's journal, so that a failure or a kill can undo it.
    TInstallJournal LJournal = TInstallJournal::Begin(DataFolder(), LVersion);
    LJournal.BeforeChange = FSettings.BeforeChange;
    TVersionWork LWork{LJournal,
                       LVersion,
                       LFileVersion,
                       LPackageType,
                       LVersionDir,
                       LCommonDir,
                       LBinDir,
                       ADownloadDir,
                       LPackagePath,
                       *LPlatformList,
                       CommaListNames(*LPlatformList),
                       *LBpls,
                       *LDcps,
                       LDlls,
                       {},
                       {},
                       {},
                       {},
                       {},
                       {},
                       {}};
    LWork.PackageSha256 = LHeldSha256;
    try {
        CopyPackageFiles(LWork, LZip);
        CopySslLibraries(LWork);
        RegisterVersion(LWork);
        KeepManifest(LWork);
    } catch (const std::exception& AError) {
        throw std::runtime_error(RollBackVersion(LJournal, AError.what()));
    }
    LJournal.Finish();
    if (!LWork.EarlierManifest.empty()) {
        std::error_code LIgnored;
        std::filesystem::remove(LWork.EarlierManifest, LIgnored);
    }

    Log("Extracting package " + Quoted(LFileName) + " done.");
    LZip.Close();

    Log("Installation done.");
    return true;
}

void TInstallEngine::ExtractJournaled(TVersionWork& AWork, TZipReader& AZip,
                                      const std::string& AEntryName, const std::string& ADir) {
    AWork.Journal.CreateFolders(PathFromUtf8(ADir));
    // The file takes the zip's spelling of the name, whatever case the entry was asked in.
    const std::string LStored = AZip.Name(AZip.IndexOf(AEntryName));
    const std::size_t LSlash = LStored.find_last_of("/\\");
    const std::string LTarget =
        ADir + (LSlash == std::string::npos ? LStored : LStored.substr(LSlash + 1));
    AWork.Journal.FileWillBeWritten(PathFromUtf8(LTarget));
    AZip.Extract(AEntryName, ADir);
    AWork.Written(LTarget, "zip", AEntryName);
}

void TInstallEngine::CopyPackageFiles(TVersionWork& AWork, TZipReader& AZip) {
    Log("Extracting BPL files for " + Quoted(AWork.Version));
    for (const std::string& LBpl : CommaListNames(AWork.Bpls)) {
        for (const std::string& LPlatform : AWork.Platforms) {
            const std::string LDest =
                PlatformFolder(AWork.CommonDir, "Bpl", LPlatform, PathDelimiter());
            const std::string LEntryName = ReleaseEntryName(LPlatform, LBpl);
            if (LPlatform == "Win32") {
                AWork.Pairs.push_back({LDest + LBpl, LBpl});
            } else if (LPlatform == "Win64") {
                AWork.Pairs64.push_back({LDest + LBpl, LBpl});
            }
            if (AZip.IndexOf(LEntryName) >= 0) {
                Log("Copy BPL file " + Quoted(LEntryName) + " to " + Quoted(LDest) + "...");
                ExtractJournaled(AWork, AZip, LEntryName, LDest);
            }
        }
    }

    Log("Extracting DCP files for " + Quoted(AWork.Version));
    for (const std::string& LDcp : CommaListNames(AWork.Dcps)) {
        for (const std::string& LPlatform : AWork.Platforms) {
            const std::string LDest =
                PlatformFolder(AWork.CommonDir, "Dcp", LPlatform, PathDelimiter());
            const std::string LEntryName = ReleaseEntryName(LPlatform, LDcp);
            if (AZip.IndexOf(LEntryName) >= 0) {
                Log("Copy DCP file " + Quoted(LEntryName) + " to " + Quoted(LDest) + " ...");
                ExtractJournaled(AWork, AZip, LEntryName, LDest);
            }
        }
    }

    Log("Extracting DLL files for " + Quoted(AWork.Version));
    // A DLL that cannot be written (a full disk) ends the version like a BPL
    // would: nothing half-installed gets registered.
    for (const std::string& LDll : CommaListNames(AWork.Dlls)) {
        if (AZip.IndexOf(LDll) >= 0) {
            Log("Copy DLL file " + Quoted(LDll) + " ...");
            ExtractJournaled(AWork, AZip, LDll, AWork.BinDir);
        }
    }
}

void TInstallEngine::CopySslLibraries(TVersionWork& AWork) {
    const std::string LInstallerDir = IncludeTrailingPathDelimiter(FSettings.ExeDir);
    Log("Copying SSL libraries from " + Quoted(LInstallerDir) + " to " + Quoted(AWork.BinDir));
    for (const char* LLibrary : {"libeay32.dll", "ssleay32.dll"}) {
        const std::string LSource = LInstallerDir + LLibrary;
        const std::string LDest = AWork.BinDir + LLibrary;
        // A library already there is not overwritten, so it is not ours.
        if (!FileExists(LDest) && FileExists(LSource) && DirectoryExists(AWork.BinDir)) {
            AWork.Journal.FileWillBeWritten(PathFromUtf8(LDest));
        }
        try {
            CopyFileNoOverwrite(LSource, LDest);
        } catch (const std::exception& AError) {
            FHost->CopyWarning(LLibrary, FSettings.ExeDir, AError.what());
            return;
        }
        AWork.Written(LDest, "file", LSource);
    }
}

void TInstallEngine::RegisterVersion(TVersionWork& AWork) {
    // The backup names the package values this step enters, so that a restore
    // takes them out again and leaves every other value where it is.
    std::vector<std::string> LNames;
    std::vector<std::string> LNames64;
    for (const auto& LPair : AWork.Pairs) {
        LNames.push_back(LPair[0]);
    }
    for (const auto& LPair : AWork.Pairs64) {
        LNames64.push_back(LPair[0]);
    }
    const std::vector<TBackupKey> LKeys =
        IDEBackupKeys(AWork.Version, SplitCommaList(AWork.PlatformList), LNames, LNames64);
    std::filesystem::path LBackup;
    if (const std::string LFailure = BackupIDERegistry(
            AWork.Version, "install", LKeys, BackupFolder(AWork.DownloadDir), {}, &LBackup);
        !LFailure.empty()) {
        throw std::runtime_error(LFailure);
    }
    std::vector<std::string> LWatched;
    for (const TBackupKey& LKey : LKeys) {
        if (!LKey.Whole) {
            LWatched.push_back(LKey.Key);
        }
    }
    TRegistrySnapshot LBefore;
    AwayFromHost([&] {
        FlushToDisk(LBackup);
        LBefore = SnapshotKeys(FStore, LWatched);
    });
    // Keys the record creates above itself are not in the backup, which
    // leaves a parent alone: the rollback removes them when they are empty.
    std::vector<std::string> LNewParents;
    AwayFromHost([&] {
        std::string LKey = RecordKey(AWork.Version);
        LKey.pop_back();
        for (auto LCut = LKey.find_last_of('\\'); LCut != std::string::npos;
             LCut = LKey.find_last_of('\\')) {
            LKey.resize(LCut);
            if (FStore.KeyExists(LKey)) {
                break;
            }
            LNewParents.push_back(LKey);
        }
    });
    AWork.Journal.RegistryWillChange(LBackup, LNewParents);

    // An earlier installation of this version may have its entries in folders
    // the marker rule does not know: its manifest names them.
    std::vector<std::string> LLines;
    AwayFromHost([&] {
        try {
            AWork.Earlier = OwnManifest(AWork.Version, LLines, &AWork.EarlierManifest);
        } catch (const std::exception& AError) {
            // Gone or damaged: the marker rule alone cleans up, as before manifests.
            LLines.push_back(std::string(AError.what()) + "; only the installer's own entries of "
                                                          "the earlier installation are replaced");
        }
        if (AWork.Earlier) {
            RemoveManifestValues(FStore, AWork.Earlier->Values, LKeys);
        }
    });
    for (const std::string& LLine : LLines) {
        Log(LLine);
    }
    Log("Writing Orvane registry entries ...");
    AwayFromHost([&] {
        WriteRegistryData(FStore,
                          TOrvaneRegistryData::Create(AWork.Version, AWork.FileVersion,
                                                      LicenseWord(FSettings.Credentials.Mode),
                                                      AWork.PackageType, AWork.VersionDir));
        WriteRecordBundle(FStore, AWork.Version,
                          FSettings.Bundle ? FSettings.Bundle->Description() : "");
    });
    Log("Writing Orvane registry entries done");

    Log("Editing registry entries ...");
    AwayFromHost([&] {
        RegisterDelphiLibrary(FStore, AWork.Version, AWork.VersionDir, AWork.Pairs,
                              SplitCommaList(AWork.PlatformList));
        RegisterCppPaths(FStore, AWork.Version, AWork.VersionDir, AWork.Pairs);
    });
    Log("Editing registry entries done.");
    // The 64-bit IDE loads the Win64 BPLs from its own list, when it is installed.
    if (std::find(AWork.Platforms.begin(), AWork.Platforms.end(), "Win64") !=
            AWork.Platforms.end() &&
        HasX64IDE(FStore, AWork.Version)) {
        Log("Editing 64-bit IDE registry entries ...");
        AwayFromHost([&] { RegisterX64Packages(FStore, AWork.Version, AWork.Pairs64); });
        Log("Editing 64-bit IDE registry entries done.");
    }
    AwayFromHost([&] {
        std::vector<std::string> LOwn = LNames;
        LOwn.insert(LOwn.end(), LNames64.begin(), LNames64.end());
        AWork.Values = AddedValues(LBefore, SnapshotKeys(FStore, LWatched), AWork.VersionDir, LOwn);
        // A reinstallation found the earlier one's entries in the lists: the
        // text the earlier one found is the user's, while the rest is the same.
        const std::vector<TManifestValue> LEarlier =
            AWork.Earlier ? AWork.Earlier->Values : std::vector<TManifestValue>{};
        for (TManifestValue& LValue : AWork.Values) {
            if (LValue.Item.empty()) {
                continue;
            }
            std::string LUsers = LValue.Data;
            for (const TManifestValue& LOld : LEarlier) {
                if (!LOld.Item.empty() && SameName(LOld.Key, LValue.Key) &&
                    SameName(LOld.Name, LValue.Name)) {
                    LUsers = WithoutPathItem(LUsers, LOld.Item);
                }
            }
            for (const TManifestValue& LOld : LEarlier) {
                if (!LOld.Item.empty() && !LOld.Data.empty() && SameName(LOld.Key, LValue.Key) &&
                    SameName(LOld.Name, LValue.Name) &&
                    CleanPathList(LOld.Data) == CleanPathList(LUsers)) {
                    LValue.Data = LOld.Data;
                    break;
                }
            }
        }
    });
}

void TInstallEngine::KeepManifest(TVersionWork& AWork) {
    TInstallManifest LManifest;
    LManifest.IDEVersion = AWork.Version;
    LManifest.FileVersion = AWork.FileVersion;
    LManifest.VersionDir = AWork.VersionDir;
    LManifest.PackagePath = AWork.PackagePath;
    LManifest.Values = AWork.Values;
    std::filesystem::path LFile;
    AwayFromHost([&] {
        LManifest.PackageSha256 = AWork.PackageSha256;
        for (TManifestFile& LWritten : AWork.Files) {
            LWritten.Size = std::filesystem::file_size(PathFromUtf8(LWritten.Path));
            LWritten.Sha256 = Sha256OfFile(LWritten.Path);
        }
        LManifest.Files = AWork.Files;
        // Files an earlier installation of this version wrote and this one
        // left as they were (the SSL libraries) still belong to it.
        for (const TManifestFile& LOld :
             AWork.Earlier ? AWork.Earlier->Files : std::vector<TManifestFile>{}) {
            if (std::none_of(LManifest.Files.begin(), LManifest.Files.end(),
                             [&](const TManifestFile& A) { return A.Path == LOld.Path; }) &&
                FileExists(LOld.Path) && Sha256OfFile(LOld.Path) == LOld.Sha256) {
                LManifest.Files.push_back(LOld);
            }
        }
        LFile = ManifestFileFor(DataFolder(), AWork.Version);
        AWork.Journal.FileWillBeWritten(LFile);
        WriteManifest(LFile, LManifest);
    });
    // The record's key is in the registry step's backup: a rollback takes the
    // reference out with the record.
    std::string LRecordKey = RecordKey(AWork.Version);
    LRecordKey.pop_back();
    AwayFromHost([&] {
        if (!FStore.SetValue(LRecordKey, {KManifestValue, rtSz,
                                          ToUtf16Le(Utf8FromPath(LFile.filename()), true)})) {
            throw std::runtime_error("Cannot write the value \"" + KManifestValue +
                                     "\" of HKEY_CURRENT_USER\\" + LRecordKey + ": " +
                                     FStore.LastErrorText());
        }
    });
}

std::string TInstallEngine::RollBackVersion(TInstallJournal& AJournal, const std::string& AReason) {
    TInstallJournal::TRollback LResult;
    AwayFromHost([&] { LResult = AJournal.RollBack(FStore, RootsFor(AJournal.IDEVersion())); });
    std::string LRefused;
    for (const std::string& LItem : LResult.Refused) {
        Log("<ERROR> Refused: " + LItem);
        LRefused += "\r\n- " + LItem;
    }
    if (!LRefused.empty()) {
        LRefused = "\r\nLeft alone, as not the installation's own:" + LRefused;
    }
    if (LResult.NotUndone.empty()) {
        return AJournal.IDEVersion() + " was rolled back: " + AReason + LRefused;
    }
    std::string LText = AJournal.IDEVersion() + " could not be rolled back completely: " + AReason +
                        ". Not undone:";
    for (const std::string& LItem : LResult.NotUndone) {
        LText += "\r\n- " + LItem;
    }
    return LText + LRefused + "\r\nThe journal is kept in \"" + Utf8FromPath(AJournal.Folder()) +
           "\"; the next start tries again.";
}

std::string TInstallEngine::StuckJournalText(const std::string& AIDEVersion) const {
    for (const auto& [LVersion, LFolder] : TInstallJournal::UnfinishedVersions(DataFolder())) {
        if (SameName(LVersion, AIDEVersion)) {
            return "An earlier change of " + AIDEVersion +
                   " could not be rolled back completely; its journal is kept in " +
                   Quoted(Utf8FromPath(LFolder)) +
                   ". Close what holds its files (the IDE), then run the installer again: it "
                   "finishes the rollback when it starts";
        }
    }
    return {};
}

std::optional<TInstallManifest> TInstallEngine::OwnManifest(const std::string& AIDEVersion,
                                                            std::vector<std::string>& ALines,
                                                            std::filesystem::path* AFile) const {
    const TInstallRoots LRoots = RootsFor(AIDEVersion);
    std::optional<TInstallManifest> LManifest =
        ReadRecordManifest(FStore, AIDEVersion, LRoots.ManifestsFolder(), AFile);
    if (!LManifest) {
        return LManifest;
    }
    for (const std::string& LRefused : ConfineManifest(*LManifest, LRoots)) {
        ALines.push_back("<ERROR> Refused: " + LRefused);
    }
    TOrvaneRegistryData LRecord;
    try {
        if (ReadRegistryData(FStore, AIDEVersion, LRecord) && !LManifest->VersionDir.empty() &&
            !SamePath(PathFromUtf8(LRecord.Path), PathFromUtf8(LManifest->VersionDir))) {
            ALines.push_back("<ERROR> The record of " + AIDEVersion + " names the folder " +
                             Quoted(Visible(ShortenedText(LRecord.Path, KShownValueBytes))) +
                             ", its manifest " + Quoted(LManifest->VersionDir) +
                             "; the manifest's is taken");
        }
    } catch (const std::exception&) {
        // An unreadable record has nothing to disagree with.
    }
    return LManifest;
}

TInstallRoots TInstallEngine::RootsFor(const std::string& AIDEVersion) const {
    std::string LCommonDir;
    if (IsIdeVersionText(AIDEVersion)) {
        try {
            LCommonDir = GetIDECommonDir(FStore, AIDEVersion);
        } catch (const std::exception&) {
            // A relative folder: no Bpl or Dcp folder is the installation's.
        }
    }
    return TInstallRoots(AIDEVersion, LCommonDir, DataFolder(), FSettings.ExeDir);
}

std::filesystem::path TInstallEngine::DataFolder() const {
    return FSettings.DataDir.empty() ? FStore.DataFolder() : FSettings.DataDir;
}

std::vector<std::string> TInstallEngine::RecoverUnfinished() {
    std::vector<std::string> LReports;
    for (const std::filesystem::path& LFolder : TInstallJournal::Unfinished(DataFolder())) {
        std::optional<TInstallJournal> LOpened;
        try {
            LOpened.emplace(TInstallJournal::Open(LFolder));
        } catch (const std::exception& AError) {
            const std::string LText = "The journal " + Quoted(Utf8FromPath(LFolder)) +
                                      " cannot be read (" + AError.what() + "); it was left alone";
            Log("<ERROR> " + LText);
            LReports.push_back(LText);
            continue;
        }
        TInstallJournal& LJournal = *LOpened;
        // Stopped before its first change: nothing to undo or to tell.
        if (LJournal.Records().size() <= 1) {
            LJournal.Finish();
            continue;
        }
        // Not written by this installer: nothing in it is acted on.
        if (!IsIdeVersionText(LJournal.IDEVersion())) {
            const std::string LText = "The journal " + Quoted(Utf8FromPath(LFolder)) +
                                      " names no IDE version; it was removed, and nothing in it "
                                      "was acted on";
            LJournal.Finish();
            Log("<ERROR> " + LText);
            LReports.push_back(LText);
            continue;
        }
        const std::string LText =
            RollBackVersion(LJournal, "its installation was interrupted before it was done");
        Log("<ERROR> " + LText);
        FHost->Warning(LText);
        LReports.push_back(LText);
    }
    return LReports;
}

void TInstallEngine::CleanupGetItInstallation(const std::string& ABackupDir) {
    orvane::CleanupGetItInstallation(
        FStore, IncludeTrailingPathDelimiter(ABackupDir),
        [this](const std::string& ALine) { Log(ALine); },
        [this](const std::string& AQuestion) { return Ask(TQuestionId::GetItRemove, AQuestion); });
}

std::optional<std::string> TInstallEngine::DownloadAgain(const rapidjson::Value& AEntry,
                                                         const std::string& ADownloadDir) {
    TPackagePlan LPlan;
    if (std::string LError; !TPackagePlan::Make(AEntry, ADownloadDir, LPlan, LError)) {
        Log("<ERROR> " + LError);
        return std::nullopt;
    }
    if (!DirectoryExists(ADownloadDir) && !ForceDirectories(ADownloadDir)) {
        Log("<ERROR> Failed to create directory: " + Quoted(ADownloadDir));
        return std::nullopt;
    }
    Log("Downloading " + Quoted(LPlan.FileName) + " ...");
    const std::shared_ptr<TDownloadState> LState = StartDownload(LPlan, false);
    if (!FinishDownload(*LState, LPlan)) {
        return std::nullopt;
    }
    return LPlan.PackagePath;
}

} // namespace orvane
