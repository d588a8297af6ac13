// install and uninstall: the engine driven by a console host.
#include "cli/CommandSupport.h"
#include "install/FileOperations.h"
#include "install/InstallEngine.h"
#include "install/InstallHost.h"
#include "platform/FileNames.h"
#include "platform/SystemFolders.h"
#include "registry/IDELocations.h"
#include "registry/ProductRecords.h"
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
    explicit TConsoleHost(const TCommandContext& AContext) : FContext(AContext) {}

    void Post(std::function<void()> AWork) override { FQueue.Post(std::move(AWork)); }
    bool IsHostThread() const override { return FQueue.IsHostThread(); }
    void ProcessPending() override {
        if (FContext.Interrupted() && !Cancellation().IsCancelled()) {
            Cancellation().Cancel("interrupted (Ctrl-C)");
        }
        FQueue.ProcessPending();
    }
    bool IsShuttingDown() const override { return FQueue.IsShuttingDown(); }

    void Log(const std::string& ALine) override {
        FContext.Log(ALine);
        Draw(ALine);
    }
    void Warning(const std::string& AText) override {
        EndLine();
        FContext.Console.Err << "Warning: " << ConsoleText(AText) << "\n";
    }
    void Message(const std::string& AText) override {
        EndLine();
        FContext.Console.Out << ConsoleText(AText) << "\n";
    }
    bool Ask(const TQuestion& AQuestion) override {
        EndLine();
        const TQuestionFlag LFlag = FlagFor(FContext.Options, AQuestion.Id);
        try {
            return Answer(FContext, AQuestion.Text, LFlag.Answer, LFlag.Flag);
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
    const std::string& Refusal() const { return FRefusal; }

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
};

TInstallSettings SettingsFor(const TCommandContext& AContext, const TCredentials& ACredentials) {
    TInstallSettings LSettings;
    LSettings.ApiUrl = AContext.ApiUrl;
    LSettings.Credentials = ACredentials;
    LSettings.ExeDir = IncludeTrailingPathDelimiter(Utf8FromPath(AContext.Setup.ExeDir));
    LSettings.IDEProcessName = AContext.Setup.IDEProcessName;
    return LSettings;
}

std::string JoinVersions(const std::vector<std::string>& AVersions) {
    std::string LText;
    for (const std::string& LVersion : AVersions) {
        LText += (LText.empty() ? "" : ", ") + Printable(LVersion);
    }
    return LText.empty() ? "none" : LText;
}

// The entries to install, in the server's order: every one with a file to
// download for --all, else those of the versions asked for. A version the list does not
// offer is refused, naming those it offers.
std::vector<const rapidjson::Value*> ChosenEntries(const TCommandContext& AContext,
                                                   const TPackageList& AList) {
    std::vector<std::string> LOffered;
    std::vector<const rapidjson::Value*> LChosen;
    for (const TListedEntry& LEntry : AList.Entries) {
        if (!IsAvailable(LEntry)) {
            continue;
        }
        const std::string LVersion = ReadMemberTextOrEmpty(*LEntry.Entry, "version");
        if (std::find(LOffered.begin(), LOffered.end(), LVersion) == LOffered.end()) {
            LOffered.push_back(LVersion);
        }
        const auto& LWanted = AContext.Options.Versions;
        if (AContext.Options.All ||
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
    if (LChosen.empty()) {
        throw ERefused("The server offers no package to install.");
    }
    return LChosen;
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
    const TCredentials LCredentials = SignIn(AContext);
    const TPackageList LList = FetchPackageList(AContext, LCredentials);
    const std::vector<const rapidjson::Value*> LEntries = ChosenEntries(AContext, LList);

    auto LHost = std::make_shared<TConsoleHost>(AContext);
    TInstallEngine LEngine(LHost, AContext.Store, SettingsFor(AContext, LCredentials));
    bool LPrepared = false;
    try {
        LPrepared = LEngine.PrepareInstallation(LDownloadDir);
    } catch (const ERefused&) {
        LPrepared = false;
    }
    LHost->EndLine();
    if (!LHost->Refusal().empty()) {
        throw ERefused(LHost->Refusal());
    }
    if (!LPrepared) {
        throw ERefused("Nothing was installed.");
    }
    const TInstallRun LRun = LEngine.InstallVersions(
        LEntries, [&LIDEDir] { return LIDEDir; }, LDownloadDir);
    LHost->EndLine();
    if (!LHost->Refusal().empty()) {
        throw ERefused(LHost->Refusal());
    }
    int LResult = LRun.Stopped ? ecSomeFailed : ecDone;
    for (const TVersionOutcome& LOutcome : LRun.Versions) {
        if (!LOutcome.Installed) {
            AContext.Console.Err << "Version " << Printable(LOutcome.Version)
                                 << " failed: " << Printable(LOutcome.Reason) << "\n";
            LResult = ecSomeFailed;
        }
    }
    if (LRun.Stopped) {
        AContext.Console.Err << "Stopped: " << Printable(LHost->Cancellation().Reason())
                             << "; the versions not begun were not installed.\n";
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

    auto LHost = std::make_shared<TConsoleHost>(AContext);
    TInstallEngine LEngine(LHost, AContext.Store, SettingsFor(AContext, TCredentials{}));
    TUninstallRun LRun;
    try {
        LRun = LEngine.UninstallVersions(LChosen);
    } catch (const ERefused&) {
        LRun.Stopped = true;
    }
    LHost->EndLine();
    if (!LHost->Refusal().empty()) {
        throw ERefused(LHost->Refusal());
    }
    if (LRun.Stopped) {
        throw ERefused("Nothing was uninstalled.");
    }
    int LResult = ecDone;
    for (const TUninstallOutcome& LOutcome : LRun.Versions) {
        if (!LOutcome.Removed) {
            AContext.Console.Err << "Version " << Printable(LOutcome.IDEVersion)
                                 << " failed: " << Printable(LOutcome.Reason) << "\n";
            LResult = ecSomeFailed;
        }
    }
    return LResult;
}

} // namespace orvane::cli
