// install and uninstall: the engine driven by a console host.
#include "cli/CommandSupport.h"
#include "install/FileOperations.h"
#include "install/InstallEngine.h"
#include "install/InstallHost.h"
#include "install/PackageRules.h"
#include "platform/FileNames.h"
#include "platform/SystemFolders.h"
#include "registry/IDEKeys.h"
#include "registry/IDELocations.h"
#include "registry/ProductRecords.h"
#include "registry/RegistryBackup.h"
#include "registry/RegistryStore.h"
#include "server/HostThread.h"
#include "server/Protocol.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>

namespace orvane::cli {

namespace {

// The flag that answers a question, and its answer.
struct TQuestionFlag {
    std::string Flag;
    std::optional<bool> Answer;
};

TQuestionFlag FlagFor(const TCliOptions& AOptions, TQuestionId AId) {
    switch (AId) {
    case TQuestionId::ExistingZip:
        return {"--existing-zip download|use", AOptions.DownloadAgain};
    case TQuestionId::OlderVersionInstalled:
        return {"--installed reinstall|skip", AOptions.Reinstall};
    case TQuestionId::GetItCleanup:
    case TQuestionId::GetItRemove:
        return {"--getit remove|keep", AOptions.RemoveGetIt};
    case TQuestionId::IdeRunning:
        return {"--ide-running continue|stop", AOptions.ContinueIdeRunning};
    }
    return {"", std::nullopt};
}

// "120.4 MiB of 290.0 MiB, 35.2 MiB/s"
std::string TransferText(const TProgress& AProgress) {
    std::string LText =
        FormatByteSize(static_cast<std::uint64_t>(std::max<std::int64_t>(AProgress.Bytes, 0)));
    if (AProgress.Total >= 0) {
        LText += " of " + FormatByteSize(static_cast<std::uint64_t>(AProgress.Total));
    }
    if (AProgress.BytesPerSecond >= 0) {
        LText += ", " + FormatByteSize(static_cast<std::uint64_t>(AProgress.BytesPerSecond)) + "/s";
    }
    return LText;
}

// The console as the engine's front end: the log into install.log and, without
// a terminal, standard output; on a terminal one line drawn over itself.
// Questions go to their flags, then to the terminal; a question neither can
// answer stops the run and names its flag.
class TConsoleHost : public TInstallHost {
public:
    explicit TConsoleHost(const TCommandContext& AContext) : FContext(AContext) {
        // A signal stops the run at the engine's next look, whatever it waits for.
        Cancellation().Watch(FContext.Setup.Interrupted,
                             [&AContext] { return AContext.InterruptText(); });
    }

    void Post(std::function<void()> AWork) override { FQueue.Post(std::move(AWork)); }
    bool IsHostThread() const override { return FQueue.IsHostThread(); }
    void ProcessPending() override { FQueue.ProcessPending(); }
    bool IsShuttingDown() const override { return FQueue.IsShuttingDown(); }

    void Log(const std::string& ALine) override {
        FContext.Log(ALine);
        Draw(ALine);
    }
    void Warning(const std::string& AText) override {
        // The refusal is said once, when the command ends.
        if (!FRefusal.empty() && AText == FRefusal) {
            return;
        }
        EndLine();
        FContext.Console.Err << "Warning: " << ConsoleText(AText) << "\n";
    }
    // A script's log must say which file, not only the platform's text.
    void CopyWarning(const std::string& AFile, const std::string& AFolder,
                     const std::string& AText) override {
        Warning("Cannot copy " + AFile + " from " + AFolder + ": " + AText);
    }
    void Message(const std::string& AText) override {
        EndLine();
        FContext.Console.Out << ConsoleText(AText) << "\n";
    }
    bool Ask(const TQuestion& AQuestion) override {
        EndLine();
        const TQuestionFlag LFlag = FlagFor(FContext.Options, AQuestion.Id);
        try {
            const bool LYes = Answer(FContext, AQuestion.Text, LFlag.Answer, LFlag.Flag);
            if (!LYes) {
                FDeclined = AQuestion.Id;
            }
            return LYes;
        } catch (const ERefused& AError) {
            // Nothing further is started; the question's step does not happen.
            FRefusal = AError.what();
            Cancellation().Cancel("a question has no answer (" + LFlag.Flag + ")");
            throw;
        }
    }
    void Progress(const TProgress& AProgress) override {
        if (!FContext.Console.OutTerminal) {
            return;
        }
        const auto LNow = std::chrono::steady_clock::now();
        const bool LLast = AProgress.Total >= 0 && AProgress.Bytes >= AProgress.Total;
        if (!LLast && LNow - FLastDraw < std::chrono::milliseconds(200)) {
            return;
        }
        FLastDraw = LNow;
        const char* LVerb =
            AProgress.Phase == TProgressPhase::ppExtracting ? "Extracting " : "Downloading ";
        Draw(LVerb + AProgress.Version + ": " + TransferText(AProgress));
    }

    // Ends the line drawn over itself, so what follows starts on its own.
    void EndLine() {
        if (FDrawn) {
            FContext.Console.Out << "\n" << std::flush;
            FDrawn = false;
        }
    }
    void BackupWritten(const std::string&, const std::string&) override { ++FBackups; }
    // Registry backups written so far: none, and the registry was not changed.
    int Backups() const { return FBackups; }
    const std::string& Refusal() const { return FRefusal; }
    // The last question answered no.
    std::optional<TQuestionId> Declined() const { return FDeclined; }

private:
    void Draw(const std::string& AText) {
        if (!FContext.Console.OutTerminal) {
            return;
        }
        std::string LText = Printable(AText);
        if (LText.size() > 110) {
            LText = LText.substr(0, 107) + "...";
        }
        // Carriage return, the text, then clear what a longer line left.
        FContext.Console.Out << "\r" << LText << "\x1b[K" << std::flush;
        FDrawn = true;
    }

    const TCommandContext& FContext;
    TQueuedHostThread FQueue;
    std::chrono::steady_clock::time_point FLastDraw{};
    bool FDrawn = false;
    std::string FRefusal;
    std::optional<TQuestionId> FDeclined;
    int FBackups = 0;
};

// Why a run that was declined at its start changed nothing, and the flag that
// would let it go on.
std::string DeclinedText(const TCliOptions& AOptions, std::optional<TQuestionId> AId,
                         const char* AWhat) {
    const std::string LNothing = std::string("Nothing was ") + AWhat;
    if (AId == TQuestionId::IdeRunning) {
        return LNothing + ": the IDE is running and " +
               (AOptions.ContinueIdeRunning ? "--ide-running stop" : "the answer") +
               " stops here. Close the IDE, or give --ide-running continue.";
    }
    if (AId == TQuestionId::GetItCleanup || AId == TQuestionId::GetItRemove) {
        return LNothing + ": GetIt installed the framework and " +
               (AOptions.RemoveGetIt ? "--getit keep" : "the answer") +
               " keeps its entries, which would conflict. Give --getit remove to back them up, "
               "remove them and go on.";
    }
    return LNothing + ".";
}

// The registered IDE versions: those with a key of their own in the registry.
std::vector<std::string> RegisteredIDEVersions(TRegistryStore& AStore) {
    std::vector<std::string> LVersions;
    const std::string LRoot = KBdsKey.substr(0, KBdsKey.size() - 1);
    if (!AStore.KeyExists(LRoot)) {
        return LVersions;
    }
    for (const std::string& LName : AStore.SubKeyNames(LRoot)) {
        if (IsIdeVersionText(LName)) {
            LVersions.push_back(LName);
        }
    }
    return LVersions;
}

const char* ResultWord(TVersionResult AResult) {
    switch (AResult) {
    case vrInstalled:
        return "installed";
    case vrSkipped:
        return "skipped";
    case vrFailed:
        break;
    }
    return "failed";
}

// One version's result: a summary line on standard error and, with --json, an
// entry of "versions".
void ReportVersion(const TCommandContext& AContext, rapidjson::Value& AVersions,
                   const std::string& AIDEVersion, const std::string& APackageVersion,
                   const std::string& AOutcome, const std::string& AReason,
                   const std::vector<std::string>& ABackups) {
    AContext.Console.Err << Printable(AIDEVersion)
                         << (APackageVersion.empty() ? "" : " " + Printable(APackageVersion))
                         << ": " << AOutcome
                         << (AReason.empty() ? "" : " (" + OneLine(AReason) + ")") << "\n";
    if (!AContext.Json) {
        return;
    }
    auto& LAlloc = AContext.Json->GetAllocator();
    rapidjson::Value LItem(rapidjson::kObjectType);
    LItem.AddMember("ide_version", AContext.JsonText(AIDEVersion), LAlloc);
    LItem.AddMember("package_version", AContext.JsonText(APackageVersion), LAlloc);
    LItem.AddMember("outcome", AContext.JsonText(AOutcome), LAlloc);
    LItem.AddMember("reason", AContext.JsonText(AReason), LAlloc);
    rapidjson::Value LBackups(rapidjson::kArrayType);
    for (const std::string& LFile : ABackups) {
        LBackups.PushBack(AContext.JsonText(LFile), LAlloc);
    }
    LItem.AddMember("backup_files", LBackups, LAlloc);
    AVersions.PushBack(LItem, LAlloc);
}

TInstallSettings SettingsFor(const TCommandContext& AContext, const TCredentials& ACredentials,
                             std::shared_ptr<const TBundleSource> ABundle = nullptr) {
    TInstallSettings LSettings;
    LSettings.Bundle = std::move(ABundle);
    LSettings.ApiUrl = AContext.ApiUrl;
    LSettings.Credentials = ACredentials;
    LSettings.ExeDir = IncludeTrailingPathDelimiter(Utf8FromPath(AContext.Setup.ExeDir));
    LSettings.IDEProcessName = AContext.Setup.IDEProcessName;
    return LSettings;
}

} // namespace

std::string JoinVersions(const std::vector<std::string>& AVersions) {
    std::string LText;
    for (const std::string& LVersion : AVersions) {
        LText += (LText.empty() ? "" : ", ") + Printable(LVersion);
    }
    return LText.empty() ? "none" : LText;
}

std::vector<const rapidjson::Value*>
ChosenEntries(const TCommandContext& AContext, const TPackageList& AList, bool AForThisMachine) {
    const std::vector<std::string> LRegistered = RegisteredIDEVersions(AContext.Store);
    const auto LIsRegistered = [&LRegistered, AForThisMachine](const std::string& AVersion) {
        return !AForThisMachine ||
               std::find(LRegistered.begin(), LRegistered.end(), AVersion) != LRegistered.end();
    };
    std::vector<std::string> LOffered;
    std::vector<const rapidjson::Value*> LChosen;
    for (const TListedEntry& LEntry : AList.Entries) {
        // What a bundle lacks is chosen as the server offers it: its version
        // then fails naming the bundle, never passes in silence.
        if (!IsAvailable(LEntry) && !LEntry.MissingFromBundle) {
            continue;
        }
        const std::string LVersion = ReadMemberTextOrEmpty(*LEntry.Entry, "version");
        if (std::find(LOffered.begin(), LOffered.end(), LVersion) == LOffered.end()) {
            LOffered.push_back(LVersion);
        }
        const auto& LWanted = AContext.Options.Versions;
        if ((AContext.Options.All && LIsRegistered(LVersion)) ||
            std::find(LWanted.begin(), LWanted.end(), LVersion) != LWanted.end()) {
            LChosen.push_back(LEntry.Entry);
        }
    }
    for (const std::string& LVersion : AContext.Options.Versions) {
        if (std::find(LOffered.begin(), LOffered.end(), LVersion) == LOffered.end()) {
            throw ERefused("The server offers no package for IDE version " + LVersion +
                           "; available: " + JoinVersions(LOffered) + ".");
        }
    }
    // A version whose IDE is not here would get a record and register nothing.
    for (const std::string& LVersion : AContext.Options.Versions) {
        if (!LIsRegistered(LVersion)) {
            throw ERefused("The IDE version " + LVersion +
                           " is not registered on this machine; registered: " +
                           JoinVersions(LRegistered) + ".");
        }
    }
    if (LChosen.empty()) {
        throw ERefused(AContext.Options.All
                           ? "The server offers no package for the registered IDE versions (" +
                                 JoinVersions(LRegistered) + "); it offers " +
                                 JoinVersions(LOffered) + "."
                           : "The server offers no package to install.");
    }
    return LChosen;
}

namespace {

// The answer a flag gives to a planned question, as its word ("remove"), or
// who gives it instead.
std::string PlannedAnswer(const TCommandContext& AContext, const TQuestionFlag& AFlag) {
    if (AFlag.Answer) {
        const std::string& LChoices = AFlag.Flag.substr(AFlag.Flag.find(' ') + 1);
        const auto LBar = LChoices.find('|');
        return *AFlag.Answer ? LChoices.substr(0, LBar) : LChoices.substr(LBar + 1);
    }
    return AContext.MayAsk() ? "asked on the terminal" : "none: the run would be refused";
}

rapidjson::Value JsonList(const TCommandContext& AContext, const std::vector<std::string>& AItems) {
    rapidjson::Value LList(rapidjson::kArrayType);
    if (AContext.Json) {
        for (const std::string& LItem : AItems) {
            LList.PushBack(AContext.JsonText(LItem), AContext.Json->GetAllocator());
        }
    }
    return LList;
}

std::vector<std::string> KeyNames(const std::vector<TBackupKey>& AKeys) {
    std::vector<std::string> LNames;
    for (const TBackupKey& LKey : AKeys) {
        LNames.push_back(LKey.Key);
    }
    return LNames;
}

// One version of a dry run: its folders or files, and the registry keys the
// run may change, as lines and, with --json, an entry of "versions".
void ReportPlannedVersion(const TCommandContext& AContext, rapidjson::Value& AVersions,
                          const std::vector<std::pair<const char*, std::string>>& AFields,
                          const std::vector<std::string>& AKeys) {
    std::ostream& LOut = AContext.Console.Out;
    LOut << Printable(AFields.front().second) << ":\n";
    for (std::size_t LIndex = 1; LIndex < AFields.size(); ++LIndex) {
        if (!AFields[LIndex].second.empty()) {
            LOut << "  " << AFields[LIndex].first << ": " << Printable(AFields[LIndex].second)
                 << "\n";
        }
    }
    for (const std::string& LKey : AKeys) {
        LOut << "  registry key: " << Printable(LKey) << "\n";
    }
    if (!AContext.Json) {
        return;
    }
    auto& LAlloc = AContext.Json->GetAllocator();
    rapidjson::Value LItem(rapidjson::kObjectType);
    for (const auto& [LName, LValue] : AFields) {
        LItem.AddMember(rapidjson::StringRef(LName), AContext.JsonText(LValue), LAlloc);
    }
    LItem.AddMember("registry_keys", JsonList(AContext, AKeys), LAlloc);
    AVersions.PushBack(LItem, LAlloc);
}

// What install would do with AEntries; exit 2 when the real run would be
// refused for a question nobody may answer.
int ReportInstallPlan(const TCommandContext& AContext, TInstallEngine& AEngine,
                      const std::vector<const rapidjson::Value*>& AEntries,
                      const std::string& AIDEDir, const std::string& ADownloadDir) {
    std::ostream& LOut = AContext.Console.Out;
    LOut << "Dry run: nothing is changed.\nIDE folder: " << Printable(AIDEDir)
         << "\nDownload folder: " << Printable(ADownloadDir) << "\n";
    AContext.JsonMember("dry_run", rapidjson::Value(true));
    AContext.JsonMember("ide_dir", AContext.JsonText(AIDEDir));
    AContext.JsonMember("download_dir", AContext.JsonText(ADownloadDir));
    rapidjson::Value LVersions(rapidjson::kArrayType);
    for (const rapidjson::Value* LEntry : AEntries) {
        const std::string LVersion = ReadMemberTextOrEmpty(*LEntry, "version");
        const std::string LFile = ReadMemberTextOrEmpty(*LEntry, "file");
        const std::string LFileVersion =
            PackageFileVersion(ReadMemberText(*LEntry, "file_version"), LFile);
        const std::string LFileName = PackageFileName(LFile, LVersion, LFileVersion);
        ReportPlannedVersion(AContext, LVersions,
                             {{"ide_version", LVersion},
                              {"package_version", LFileVersion},
                              {"download", PackageEndpoint(*LEntry)},
                              {"package_file", ADownloadDir + LFileName},
                              {"platforms", ReadMemberTextOrEmpty(*LEntry, "platforms")}},
                             KeyNames(IDEBackupKeys(LVersion, SplitCommaList(ReadMemberTextOrEmpty(
                                                                  *LEntry, "platforms")))));
    }
    AContext.JsonMember("versions", std::move(LVersions));

    bool LRefused = false;
    rapidjson::Value LQuestions(rapidjson::kArrayType);
    for (const TPlannedQuestion& LQuestion : AEngine.PlannedQuestions(AEntries, ADownloadDir)) {
        const TQuestionFlag LFlag = FlagFor(AContext.Options, LQuestion.Id);
        const std::string LAnswer = PlannedAnswer(AContext, LFlag);
        LRefused = LRefused || (!LFlag.Answer && !AContext.MayAsk());
        LOut << "Question: " << Printable(LQuestion.Why) << ": " << LFlag.Flag << " -> " << LAnswer
             << "\n";
        if (AContext.Json) {
            auto& LAlloc = AContext.Json->GetAllocator();
            rapidjson::Value LItem(rapidjson::kObjectType);
            LItem.AddMember("ide_version", AContext.JsonText(LQuestion.Version), LAlloc);
            LItem.AddMember("why", AContext.JsonText(LQuestion.Why), LAlloc);
            LItem.AddMember("flag", AContext.JsonText(LFlag.Flag), LAlloc);
            LItem.AddMember("answer", AContext.JsonText(LAnswer), LAlloc);
            LQuestions.PushBack(LItem, LAlloc);
        }
    }
    AContext.JsonMember("questions", std::move(LQuestions));
    return LRefused ? ecRefused : ecDone;
}

// A folder flag's value as the engine takes it: absolute, never empty or a
// drive's root (an empty --download-dir once wrote into the root).
std::string FolderFlag(const std::string& AFlag, const std::string& AValue) {
    std::string LFolder;
    std::string LError;
    if (!AbsoluteFolder(AValue, AFlag, LFolder, LError)) {
        throw ERefused(LError);
    }
    return LFolder;
}

} // namespace

void RecoverInterrupted(const TCommandContext& AContext) {
    auto LHost = std::make_shared<TConsoleHost>(AContext);
    TInstallEngine(LHost, AContext.Store, SettingsFor(AContext, TCredentials{}))
        .RecoverUnfinished();
    LHost->EndLine();
}

// Every question the run will ask, checked before the first change: without
// its flag, and where nobody may be asked, the run is refused naming each flag.
void RequireAnswers(const TCommandContext& AContext, TInstallEngine& AEngine,
                    const std::vector<const rapidjson::Value*>& AEntries,
                    const std::string& ADownloadDir) {
    if (AContext.MayAsk()) {
        return;
    }
    std::string LMissing;
    std::vector<std::string> LFlags;
    for (const TPlannedQuestion& LQuestion : AEngine.PlannedQuestions(AEntries, ADownloadDir)) {
        const TQuestionFlag LFlag = FlagFor(AContext.Options, LQuestion.Id);
        if (LFlag.Answer) {
            continue;
        }
        LMissing += "\n  " + LQuestion.Why + ": give " + LFlag.Flag;
        if (std::find(LFlags.begin(), LFlags.end(), LFlag.Flag) == LFlags.end()) {
            LFlags.push_back(LFlag.Flag);
        }
    }
    if (!LFlags.empty()) {
        std::string LList;
        for (const std::string& LFlag : LFlags) {
            LList += (LList.empty() ? "" : ", ") + LFlag;
        }
        throw ERefused(std::string(AContext.Options.NonInteractive
                                       ? "--non-interactive asks nothing"
                                       : "No terminal to answer questions") +
                       ", and the run would ask these:" + LMissing +
                       "\nNothing was changed; run again with " + LList + ".");
    }
}

int RunInstall(const TCommandContext& AContext) {
    if (!AContext.Options.AcceptTerms) {
        throw ERefused("Installing needs your acceptance of the terms and conditions at " +
                       AContext.Setup.TermsUrl +
                       "\nRead them, then run the command again with --accept-terms.");
    }
    // The wizard's defaults: the newest registered IDE, the shared documents.
    // Checked before anything is asked or written.
    const std::string LIDEDir = FolderFlag(
        "--ide-dir", AContext.Options.IdeDir.value_or(
                         FindDefaultIDEDir(AContext.Store).value_or(DefaultIDEFolder())));
    const std::string LDownloadDir =
        FolderFlag("--download-dir", AContext.Options.DownloadDir.value_or(DefaultDownloadDir()));
    // From a bundle: no sign-in, no API server; the edition is the bundle's.
    const std::shared_ptr<const TBundleSource> LBundle =
        AContext.Options.From ? OpenBundle(AContext) : nullptr;
    const TCredentials LCredentials = LBundle ? BundleCredentials(*LBundle) : SignIn(AContext);
    const TPackageList LList =
        LBundle ? BundlePackageList(*LBundle) : FetchPackageList(AContext, LCredentials);
    const std::vector<const rapidjson::Value*> LEntries = ChosenEntries(AContext, LList);

    AContext.Log("IDE folder: " + LIDEDir + "; download folder: " + LDownloadDir);

    auto LHost = std::make_shared<TConsoleHost>(AContext);
    TInstallEngine LEngine(LHost, AContext.Store, SettingsFor(AContext, LCredentials, LBundle));
    if (AContext.Options.DryRun) {
        return ReportInstallPlan(AContext, LEngine, LEntries, LIDEDir, LDownloadDir);
    }
    RequireAnswers(AContext, LEngine, LEntries, LDownloadDir);
    bool LPrepared = false;
    try {
        LPrepared = LEngine.PrepareInstallation(LDownloadDir);
    } catch (const ERefused&) {
        LPrepared = false;
    } catch (const EStopped&) {
        LPrepared = false;
    }
    LHost->EndLine();
    if (!LHost->Refusal().empty()) {
        throw ERefused(LHost->Refusal());
    }
    if (AContext.Interrupted()) {
        AContext.Log("Installation stopped: " + AContext.InterruptText() +
                     "; nothing was installed.");
        return ecStopped;
    }
    if (!LPrepared) {
        throw ERefused(DeclinedText(AContext.Options, LHost->Declined(), "installed"));
    }
    const TInstallRun LRun = LEngine.InstallVersions(
        LEntries, [&LIDEDir] { return LIDEDir; }, LDownloadDir);
    LHost->EndLine();
    const bool LAnyDone = std::any_of(LRun.Versions.begin(), LRun.Versions.end(),
                                      [](const TVersionOutcome& A) { return A.Installed(); });
    if (!LHost->Refusal().empty() && !LAnyDone) {
        throw ERefused(LHost->Refusal());
    }
    if (AContext.Interrupted() && !LRun.Stopped) {
        // The last version was stopped within itself; the engine stops before the next one.
        AContext.Log("Installation stopped: " + AContext.InterruptText() +
                     "; 0 version(s) not installed.");
    }

    int LResult = ecDone;
    rapidjson::Value LVersions(rapidjson::kArrayType);
    for (const TVersionOutcome& LOutcome : LRun.Versions) {
        std::string LReason = LOutcome.Reason;
        if (LOutcome.Result == vrSkipped) {
            LReason += AContext.Options.Reinstall ? "; --installed skip" : "; answered no";
        }
        if (LOutcome.Result == vrFailed) {
            LResult = ecSomeFailed;
        }
        ReportVersion(AContext, LVersions, LOutcome.Version, LOutcome.FileVersion,
                      ResultWord(LOutcome.Result), LReason, LOutcome.BackupFiles);
    }
    for (std::size_t LIndex = LRun.Versions.size(); LIndex < LEntries.size(); ++LIndex) {
        ReportVersion(AContext, LVersions, ReadMemberTextOrEmpty(*LEntries[LIndex], "version"),
                      PackageFileVersion(ReadMemberText(*LEntries[LIndex], "file_version"),
                                         ReadMemberTextOrEmpty(*LEntries[LIndex], "file")),
                      "not begun", LHost->Cancellation().Reason(), {});
        LResult = ecSomeFailed;
    }
    AContext.JsonMember("versions", std::move(LVersions));
    // The server went away after the list came: with nothing installed and
    // the registry as it was, the same outcome as a list that could not be
    // fetched. (A package file the answers let go is gone all the same.)
    if (!LRun.Versions.empty() && LRun.Versions.size() == LEntries.size() &&
        LHost->Backups() == 0 &&
        std::all_of(LRun.Versions.begin(), LRun.Versions.end(),
                    [](const TVersionOutcome& A) { return A.ServerUnreachable; })) {
        AContext.Console.Err << "The server could not be reached; nothing was installed and the "
                                "registry is unchanged.\n";
        LResult = ecServer;
    }
    if (LRun.Stopped || !LHost->Refusal().empty()) {
        AContext.Console.Err << "Stopped: "
                             << OneLine(LHost->Refusal().empty() ? LHost->Cancellation().Reason()
                                                                 : LHost->Refusal())
                             << "; the versions not begun were not installed.\n";
    }
    if (AContext.Interrupted()) {
        return ecStopped;
    }
    if (LResult == ecDone) {
        AContext.Console.Out << "Thank you for installing Orvane! You can now start working!\n";
    }
    return LResult;
}

int RunUninstall(const TCommandContext& AContext) {
    std::vector<std::string> LRecorded;
    for (const TOrvaneRegistryData& LRecord : ReadInstalledVersions(AContext.Store)) {
        LRecorded.push_back(LRecord.IDEVersion);
    }
    std::vector<std::string> LChosen = AContext.Options.All ? LRecorded : AContext.Options.Versions;
    for (const std::string& LVersion : LChosen) {
        if (std::find(LRecorded.begin(), LRecorded.end(), LVersion) == LRecorded.end()) {
            throw ERefused("No installation is recorded for IDE version " + LVersion +
                           "; recorded: " + JoinVersions(LRecorded) + ".");
        }
    }
    if (LChosen.empty()) {
        throw ERefused("No installations found to be uninstalled");
    }
    if (AContext.Options.DryRun) {
        AContext.Console.Out << "Dry run: nothing is changed.\n";
        AContext.JsonMember("dry_run", rapidjson::Value(true));
        rapidjson::Value LVersions(rapidjson::kArrayType);
        for (const TOrvaneRegistryData& LRecord : ReadInstalledVersions(AContext.Store)) {
            if (std::find(LChosen.begin(), LChosen.end(), LRecord.IDEVersion) == LChosen.end()) {
                continue;
            }
            ReportPlannedVersion(
                AContext, LVersions,
                {{"ide_version", LRecord.IDEVersion},
                 {"package_version", LRecord.Version},
                 {AContext.Options.RemoveFiles ? "folder_removed" : "folder_kept", LRecord.Path}},
                KeyNames(IDEBackupKeys(LRecord.IDEVersion, KLibraryPlatforms)));
        }
        AContext.JsonMember("versions", std::move(LVersions));
        for (const TQuestionId LId : {TQuestionId::IdeRunning, TQuestionId::GetItRemove}) {
            const TQuestionFlag LFlag = FlagFor(AContext.Options, LId);
            AContext.Console.Out << "If asked: " << LFlag.Flag << " -> "
                                 << PlannedAnswer(AContext, LFlag) << "\n";
        }
        return ecDone;
    }

    auto LHost = std::make_shared<TConsoleHost>(AContext);
    TInstallEngine LEngine(LHost, AContext.Store, SettingsFor(AContext, TCredentials{}));
    TUninstallRun LRun;
    try {
        LRun = LEngine.UninstallVersions(LChosen, AContext.Options.RemoveFiles);
    } catch (const ERefused&) {
        LRun.Stopped = true;
    }
    LHost->EndLine();
    if (!LHost->Refusal().empty()) {
        throw ERefused(LHost->Refusal());
    }
    if (LRun.Stopped) {
        throw ERefused(DeclinedText(AContext.Options, LHost->Declined(), "uninstalled"));
    }
    int LResult = ecDone;
    rapidjson::Value LVersions(rapidjson::kArrayType);
    for (const TUninstallOutcome& LOutcome : LRun.Versions) {
        if (!LOutcome.Removed) {
            LResult = ecSomeFailed;
        }
        ReportVersion(AContext, LVersions, LOutcome.IDEVersion, "",
                      LOutcome.Removed ? "uninstalled" : "failed", LOutcome.Reason,
                      LOutcome.BackupFiles);
    }
    for (std::size_t LIndex = LRun.Versions.size(); LRun.Cancelled && LIndex < LChosen.size();
         ++LIndex) {
        ReportVersion(AContext, LVersions, LChosen[LIndex], "", "not begun",
                      LHost->Cancellation().Reason(), {});
        LResult = ecSomeFailed;
    }
    AContext.JsonMember("versions", std::move(LVersions));
    if (LRun.Cancelled) {
        AContext.Console.Err << "Stopped: " << OneLine(LHost->Cancellation().Reason())
                             << "; the versions not begun were not uninstalled.\n";
    }
    return AContext.Interrupted() && LResult != ecDone ? ecStopped : LResult;
}

namespace {

// The versions asked for must be recorded; none asked for: all recorded.
std::vector<std::string> RecordedChoice(const TCommandContext& AContext) {
    std::vector<std::string> LRecorded;
    for (const TOrvaneRegistryData& LRecord : ReadInstalledVersions(AContext.Store)) {
        LRecorded.push_back(LRecord.IDEVersion);
    }
    for (const std::string& LVersion : AContext.Options.Versions) {
        if (std::find(LRecorded.begin(), LRecorded.end(), LVersion) == LRecorded.end()) {
            throw ERefused("No installation is recorded for IDE version " + LVersion +
                           "; recorded: " + JoinVersions(LRecorded) + ".");
        }
    }
    return AContext.Options.Versions.empty() ? LRecorded : AContext.Options.Versions;
}

const char* ProblemKindName(TVerifyProblem::TKind AKind) {
    switch (AKind) {
    case TVerifyProblem::vkFileMissing:
        return "file_missing";
    case TVerifyProblem::vkFileChanged:
        return "file_changed";
    case TVerifyProblem::vkValueMissing:
        return "value_missing";
    case TVerifyProblem::vkNotAFile:
        return "not_a_file";
    case TVerifyProblem::vkConflict:
        return "conflict";
    case TVerifyProblem::vkFolderMissing:
        return "folder_missing";
    case TVerifyProblem::vkUnverifiable:
        break;
    }
    return "unverifiable";
}

// One line per problem (standard error with --json, whose document lists them).
int ReportProblems(const TCommandContext& AContext, const TVerifyReport& AReport) {
    std::ostream& LLines = AContext.Json ? AContext.Console.Err : AContext.Console.Out;
    rapidjson::Value LProblems(rapidjson::kArrayType);
    rapidjson::Value LVersions(rapidjson::kArrayType);
    for (const TVerifyProblem& LProblem : AReport.Problems) {
        LLines << Printable(LProblem.Text) << "\n";
        if (AContext.Json) {
            auto& LAlloc = AContext.Json->GetAllocator();
            rapidjson::Value LItem(rapidjson::kObjectType);
            LItem.AddMember("ide_version", AContext.JsonText(LProblem.IDEVersion), LAlloc);
            LItem.AddMember("kind", rapidjson::StringRef(ProblemKindName(LProblem.Kind)), LAlloc);
            LItem.AddMember("text", AContext.JsonText(LProblem.Text), LAlloc);
            LProblems.PushBack(LItem, LAlloc);
        }
    }
    if (AContext.Json) {
        for (const std::string& LVersion : AReport.Versions) {
            LVersions.PushBack(AContext.JsonText(LVersion), AContext.Json->GetAllocator());
        }
    }
    AContext.JsonMember("versions", std::move(LVersions));
    AContext.JsonMember("problems", std::move(LProblems));
    if (AReport.Problems.empty()) {
        LLines << "Verified: " << JoinVersions(AReport.Versions) << "\n";
        return ecDone;
    }
    return ecSomeFailed;
}

} // namespace

int RunVerify(const TCommandContext& AContext) {
    const std::vector<std::string> LVersions = RecordedChoice(AContext);
    auto LHost = std::make_shared<TConsoleHost>(AContext);
    TInstallEngine LEngine(LHost, AContext.Store, SettingsFor(AContext, TCredentials{}));
    return ReportProblems(AContext, LEngine.Verify(LVersions));
}

int RunRepair(const TCommandContext& AContext) {
    const std::vector<std::string> LVersions = RecordedChoice(AContext);
    // Signed in only with --edition: a repair from the copies at hand needs no server.
    const TCredentials LCredentials = AContext.Options.Edition ? SignIn(AContext) : TCredentials{};
    auto LHost = std::make_shared<TConsoleHost>(AContext);
    TInstallEngine LEngine(LHost, AContext.Store, SettingsFor(AContext, LCredentials));
    // The package list is fetched only when a file has no copy at hand left.
    std::optional<TPackageList> LList;
    const auto LPackageEntry = [&](const std::string& AIDEVersion) -> const rapidjson::Value* {
        if (!AContext.Options.Edition) {
            throw ERefused("no copy at hand is left, and the package is downloaded again only "
                           "with --edition developer|commercial");
        }
        if (!LList) {
            LList = FetchPackageList(AContext, LCredentials);
        }
        for (const TListedEntry& LEntry : LList->Entries) {
            if (IsAvailable(LEntry) &&
                ReadMemberTextOrEmpty(*LEntry.Entry, "version") == AIDEVersion) {
                return LEntry.Entry;
            }
        }
        return nullptr;
    };
    const TVerifyReport LReport =
        LEngine.Repair(LVersions, AContext.Options.RemoveConflicts, LPackageEntry);
    LHost->EndLine();
    return ReportProblems(AContext, LReport);
}

} // namespace orvane::cli
