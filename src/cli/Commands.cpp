#include "cli/Commands.h"

#include "cli/CommandSupport.h"
#include "install/InstallHost.h"
#include "install/InstallJournal.h"
#include "install/PackageRules.h"
#include "platform/FileNames.h"
#include "platform/InstallLogFile.h"
#include "platform/ProcessLock.h"
#include "platform/Text.h"
#include "registry/ProductRecords.h"
#include "registry/RegistryStore.h"
#include "server/ConfigurationFetch.h"
#include "server/HttpClient.h"
#include "server/MachineIdentifier.h"
#include "server/Protocol.h"

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <optional>
#include <ostream>
#include <thread>

namespace orvane::cli {

namespace {

// The HTTP client logs from transfer threads too.
std::mutex GLogLock;

} // namespace

void TCommandContext::Log(const std::string& ALine) const {
    const std::lock_guard LLock(GLogLock);
    LogLine(LogFile, ALine);
    if (!Console.OutTerminal) {
        Console.Out << ConsoleText(ALine) << "\n";
    }
}

void TCommandContext::LogToFile(const std::string& ALine) const {
    const std::lock_guard LLock(GLogLock);
    LogLine(LogFile, ALine);
}

std::string TCommandContext::InterruptText() const {
    const char* LReason = Setup.InterruptReason ? Setup.InterruptReason->load() : nullptr;
    return LReason ? LReason : "interrupted (Ctrl-C)";
}

void TCommandContext::JsonMember(const char* AName, rapidjson::Value AValue) const {
    if (Json) {
        Json->RemoveMember(AName);
        Json->AddMember(rapidjson::Value(AName, Json->GetAllocator()), AValue,
                        Json->GetAllocator());
    }
}

rapidjson::Value TCommandContext::JsonText(const std::string& AText) const {
    if (!Json) {
        return rapidjson::Value();
    }
    return rapidjson::Value(AText.c_str(), static_cast<rapidjson::SizeType>(AText.size()),
                            Json->GetAllocator());
}

bool IsAvailable(const TListedEntry& AEntry) {
    return AEntry.Enabled && !AEntry.MissingFromBundle &&
           !ReadMemberTextOrEmpty(*AEntry.Entry, "file").empty();
}

std::string Printable(const std::string& AText) {
    std::string LText = AText;
    for (char& LChar : LText) {
        const auto LCode = static_cast<unsigned char>(LChar);
        if (LCode < 0x20 || LCode == 0x7f) {
            LChar = '?';
        }
    }
    return LText;
}

std::string OneLine(const std::string& AText) {
    std::string LText;
    for (std::size_t LIndex = 0; LIndex < AText.size(); ++LIndex) {
        if (AText.compare(LIndex, 2, "\r\n") == 0 || AText[LIndex] == '\n') {
            LIndex += AText[LIndex] == '\r' ? 1 : 0;
            LText += " / ";
            continue;
        }
        LText += Printable(AText.substr(LIndex, 1));
    }
    return LText;
}

std::string ConsoleText(const std::string& AText) {
    std::string LText;
    for (std::size_t LIndex = 0; LIndex < AText.size(); ++LIndex) {
        if (AText.compare(LIndex, 2, "\r\n") == 0) {
            continue;
        }
        LText += AText[LIndex] == '\n' ? "\n" : Printable(AText.substr(LIndex, 1));
    }
    return LText;
}

bool Answer(const TCommandContext& AContext, const std::string& AQuestion,
            const std::optional<bool>& AFlagAnswer, const std::string& AFlag) {
    if (AFlagAnswer) {
        AContext.Log("Answered " + std::string(*AFlagAnswer ? "yes" : "no") + " by " + AFlag +
                     ": " + AQuestion);
        return *AFlagAnswer;
    }
    if (!AContext.MayAsk()) {
        throw ERefused(AQuestion + "\n" +
                       (AContext.Options.NonInteractive ? "--non-interactive asks nothing"
                                                        : "No terminal to answer this question") +
                       ": give " + AFlag + ".");
    }
    for (;;) {
        if (AContext.Interrupted()) {
            throw EStopped(AContext.InterruptText());
        }
        AContext.Console.Err << ConsoleText(AQuestion) << "\n(" << AFlag
                             << ") Answer yes or no: " << std::flush;
        std::string LLine;
        if (!ReadLine(AContext.Console.In, LLine, [&AContext] { return AContext.Interrupted(); })) {
            // Ctrl-C ends the read; on Windows its handler runs on a thread
            // of its own, a moment after the read gave up.
            for (int LWait = 0;
                 LWait < 50 && AContext.Console.InTerminal && !AContext.Interrupted(); ++LWait) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (AContext.Interrupted()) {
                throw EStopped(AContext.InterruptText());
            }
            throw ERefused("No answer to the question: give " + AFlag + ".");
        }
        if (LLine == "yes" || LLine == "y" || LLine == "Y" || LLine == "Yes") {
            return true;
        }
        if (LLine == "no" || LLine == "n" || LLine == "N" || LLine == "No") {
            return false;
        }
    }
}

TCredentials SignIn(const TCommandContext& AContext) {
    TCredentials LCredentials;
    LCredentials.Mode = AContext.Options.Edition.value_or(imDeveloper);
    LCredentials.Package = LCredentials.Mode == imDeveloper ? "DEVELOPER" : "GAMEPACKAGE";
    if (LCredentials.Mode == imDeveloper) {
        return LCredentials;
    }
    TConsole& LConsole = AContext.Console;
    if (AContext.Options.User) {
        LCredentials.Username = *AContext.Options.User;
    } else if (AContext.MayAsk() && !AContext.Options.PasswordStdin) {
        LConsole.Err << "E-mail address: " << std::flush;
        if (!ReadLine(LConsole.In, LCredentials.Username)) {
            throw ERefused("No e-mail address given: give --user NAME.");
        }
    } else {
        throw ERefused("The commercial edition signs in with an e-mail address: give --user NAME.");
    }
    if (AContext.Options.PasswordStdin) {
        if (!ReadLine(LConsole.In, LCredentials.Password)) {
            throw ERefused("--password-stdin: standard input holds no password line.");
        }
    } else if (AContext.MayAsk()) {
        LConsole.Err << "Password for " << Printable(LCredentials.Username) << ": " << std::flush;
        if (LConsole.ReadSecret) {
            LCredentials.Password = LConsole.ReadSecret();
        } else if (!ReadLine(LConsole.In, LCredentials.Password)) {
            throw ERefused("No password given: pipe it in with --password-stdin.");
        }
    } else {
        throw ERefused("The commercial edition needs its password: pipe it in with "
                       "--password-stdin (it is never taken from the command line).");
    }
    return LCredentials;
}

TPackageList FetchPackageList(const TCommandContext& AContext, const TCredentials& ACredentials,
                              std::string* AText) {
    TPackageList LList;
    std::string LText;
    try {
        LText = FetchConfigurationText(AContext.ApiUrl, ACredentials, MachineDigest(),
                                       AContext.Setup.Interrupted);
    } catch (const std::exception& AError) {
        throw EServer("Cannot get the package list from " + AContext.ApiUrl + ": " + AError.what());
    }
    LList.Document = ParseAnswer(LText);
    if (AText) {
        *AText = std::move(LText);
    }
    try {
        if (!LList.Document || !LList.Document->IsObject()) {
            throw std::runtime_error("configuration is not a JSON object");
        }
        ListConfigurationEntries(*LList.Document, [&LList](const TListedEntry& AEntry) {
            LList.Entries.push_back(AEntry);
        });
    } catch (const std::exception& AError) {
        throw EServer("Failed to read configuration from server! (" + std::string(AError.what()) +
                      ")");
    }
    return LList;
}

namespace {

int RunList(const TCommandContext& AContext) {
    const std::shared_ptr<const TBundleSource> LBundle =
        AContext.Options.From ? OpenBundle(AContext) : nullptr;
    const TPackageList LList =
        LBundle ? BundlePackageList(*LBundle) : FetchPackageList(AContext, SignIn(AContext));
    rapidjson::Value LPackages(rapidjson::kArrayType);
    for (const TListedEntry& LEntry : LList.Entries) {
        const rapidjson::Value& LValue = *LEntry.Entry;
        const std::string LVersion = ReadMemberTextOrEmpty(LValue, "version");
        const std::string LName = ReadMemberTextOrEmpty(LValue, "name");
        const std::string LFileVersion = PackageFileVersion(ReadMemberText(LValue, "file_version"),
                                                            ReadMemberTextOrEmpty(LValue, "file"));
        if (AContext.Json) {
            rapidjson::Value LPackage(rapidjson::kObjectType);
            auto& LAlloc = AContext.Json->GetAllocator();
            LPackage.AddMember("ide_version", AContext.JsonText(LVersion), LAlloc);
            LPackage.AddMember("name", AContext.JsonText(LName), LAlloc);
            LPackage.AddMember("package_version", AContext.JsonText(LFileVersion), LAlloc);
            LPackage.AddMember("available", IsAvailable(LEntry), LAlloc);
            if (LBundle) {
                LPackage.AddMember("missing_from_bundle", LEntry.MissingFromBundle, LAlloc);
            }
            LPackages.PushBack(LPackage, LAlloc);
            continue;
        }
        std::string LLine =
            Printable(LVersion) + "\t" + Printable(LName) + "\t" + Printable(LFileVersion);
        if (LEntry.MissingFromBundle) {
            LLine += "\t(missing from the bundle)";
        } else if (!IsAvailable(LEntry)) {
            LLine += "\t(not available)";
        }
        AContext.Console.Out << LLine << "\n";
    }
    AContext.JsonMember("packages", std::move(LPackages));
    return ecDone;
}

// The name of the registry store's lock.
std::string LockNameOf(const TCommandContext& AContext) {
    return AContext.Setup.LockName.empty() ? StoreLockName(DefaultRegistryStorePath())
                                           : AContext.Setup.LockName;
}

int RunRecover(const TCommandContext& AContext) {
    // The rollback itself ran when the command began (under the store's
    // lock); what is left could not be undone.
    rapidjson::Value LLeft(rapidjson::kArrayType);
    const auto LUnfinished = TInstallJournal::UnfinishedVersions(AContext.Store.DataFolder());
    for (const auto& [LVersion, LFolder] : LUnfinished) {
        AContext.Console.Err << Printable(LVersion)
                             << ": could not be rolled back completely; its journal is kept in "
                             << Printable(Quoted(Utf8FromPath(LFolder))) << "\n";
        if (AContext.Json) {
            LLeft.PushBack(AContext.JsonText(LVersion), AContext.Json->GetAllocator());
        }
    }
    const bool LWhole = LUnfinished.empty();
    AContext.JsonMember("interrupted", std::move(LLeft));
    if (LWhole && !AContext.Json) {
        AContext.Console.Out << "Nothing is left to roll back\n";
    }
    return LWhole ? ecDone : ecSomeFailed;
}

int RunStatus(const TCommandContext& AContext) {
    int LResult = ecDone;
    rapidjson::Value LInstallations(rapidjson::kArrayType);
    // A journal is a leftover only while no installer runs: status takes the
    // store's lock for a moment to tell, and lets it go at once.
    std::vector<std::pair<std::string, std::filesystem::path>> LUnfinished;
    {
        const TProcessLock LLock(LockNameOf(AContext));
        if (LLock.State() == TProcessLock::lsHeld) {
            LUnfinished = TInstallJournal::UnfinishedVersions(AContext.Store.DataFolder());
        }
    }
    const auto LInterrupted = [&LUnfinished](const std::string& AVersion) {
        return std::any_of(LUnfinished.begin(), LUnfinished.end(),
                           [&](const auto& A) { return SameName(A.first, AVersion); });
    };
    for (const auto& [LVersion, LFolder] : LUnfinished) {
        AContext.Console.Err << Printable(LVersion)
                             << ": an installation of it was interrupted and is not undone yet "
                                "(its journal is in "
                             << Printable(Quoted(Utf8FromPath(LFolder)))
                             << "); orvane-install recover rolls it back\n";
        LResult = ecSomeFailed;
    }
    for (const TOrvaneRegistryData& LRecord : ReadInstalledVersions(AContext.Store)) {
        if (AContext.Json) {
            rapidjson::Value LItem(rapidjson::kObjectType);
            auto& LAlloc = AContext.Json->GetAllocator();
            LItem.AddMember("ide_version", AContext.JsonText(LRecord.IDEVersion), LAlloc);
            LItem.AddMember("version", AContext.JsonText(LRecord.Version), LAlloc);
            LItem.AddMember("edition", AContext.JsonText(LRecord.License), LAlloc);
            LItem.AddMember("date", AContext.JsonText(LRecord.DateTime), LAlloc);
            LItem.AddMember("folder", AContext.JsonText(LRecord.Path), LAlloc);
            if (!LRecord.ReadError.empty()) {
                LItem.AddMember("error", AContext.JsonText(LRecord.ReadError), LAlloc);
            }
            LItem.AddMember("interrupted", LInterrupted(LRecord.IDEVersion), LAlloc);
            LInstallations.PushBack(LItem, LAlloc);
        }
        if (!LRecord.ReadError.empty()) {
            AContext.Console.Err << Printable(LRecord.IDEVersion) << ": the record cannot be read ("
                                 << Printable(LRecord.ReadError) << ")\n";
            LResult = ecSomeFailed;
            continue;
        }
        if (!AContext.Json) {
            AContext.Console.Out << Printable(LRecord.IDEVersion) << "\t"
                                 << Printable(LRecord.Version) << "\t" << Printable(LRecord.License)
                                 << "\t" << Printable(LRecord.DateTime) << "\t"
                                 << Printable(LRecord.Path)
                                 << (LInterrupted(LRecord.IDEVersion) ? "\t(interrupted)" : "")
                                 << "\n";
        }
    }
    AContext.JsonMember("installations", std::move(LInstallations));
    return LResult;
}

// The store's lock, taken before anything is asked or changed; with
// --wait-lock it waits that long for another installer to end.
std::unique_ptr<TProcessLock> TakeStoreLock(const TCommandContext& AContext) {
    const std::string LName = LockNameOf(AContext);
    const auto LDeadline = std::chrono::steady_clock::now() +
                           std::chrono::seconds(AContext.Options.WaitLock.value_or(0));
    AContext.LogToFile("Registry store lock: " + LName);
    bool LSaid = false;
    for (;;) {
        auto LLock = std::make_unique<TProcessLock>(LName);
        if (LLock->State() == TProcessLock::lsHeld) {
            return LLock;
        }
        if (LLock->State() == TProcessLock::lsUnavailable) {
            throw ERefused("The registry store's lock cannot be taken (" + LLock->Error() +
                           "); nothing was changed.");
        }
        // From the system's own record of the lock: nothing in the file is trusted.
        const long LPid = LLock->HolderPid();
        const std::string LHolder =
            LPid > 0 ? " (pid " + std::to_string(LPid) + ")" : " (its process id is not known)";
        if (AContext.Interrupted()) {
            throw ERefused(
                "Stopped while waiting for the other installer: " + AContext.InterruptText() + ".");
        }
        if (std::chrono::steady_clock::now() >= LDeadline) {
            throw ERefused("Another installer is changing this registry store" + LHolder +
                           (AContext.Options.WaitLock
                                ? "; waited " + std::to_string(*AContext.Options.WaitLock) + " s"
                                : "; --wait-lock SECONDS waits for it") +
                           ".");
        }
        if (!LSaid) {
            AContext.Console.Err << "Waiting for another installer" << LHolder
                                 << " to finish with this registry store ...\n";
            LSaid = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

// Where install.log goes: --log-file, else beside the program, else (a folder
// such as Program Files that the user cannot write) the user's own, said on
// the first line of standard error.
std::filesystem::path ChooseLogFile(const TCliOptions& AOptions, TConsole& AConsole,
                                    const TCliSetup& ASetup) {
    std::error_code LError;
    if (AOptions.LogFile) {
        const std::filesystem::path LFile =
            std::filesystem::absolute(PathFromUtf8(*AOptions.LogFile), LError);
        if (LError || !CanAppendTo(LFile)) {
            throw ERefused("--log-file: " + Utf8FromPath(LFile) + " cannot be written.");
        }
        return LFile;
    }
    const std::filesystem::path LBeside = ASetup.ExeDir / "install.log";
    if (CanAppendTo(LBeside)) {
        return LBeside;
    }
    const std::filesystem::path LUser = UserInstallLogFile();
    if (!LUser.empty()) {
        std::filesystem::create_directories(LUser.parent_path(), LError);
    }
    if (LUser.empty() || !CanAppendTo(LUser)) {
        AConsole.Err << "orvane-install: install.log cannot be written beside the program nor in "
                        "the user's folder; the run is not logged.\n";
        return LBeside;
    }
    AConsole.Err << "orvane-install: " << Utf8FromPath(ASetup.ExeDir)
                 << " cannot take install.log; the log goes to " << Utf8FromPath(LUser) << "\n";
    return LUser;
}

int RunCommand(const TCliOptions& AOptions, TConsole& AConsole, const TCliSetup& ASetup,
               rapidjson::Document* AJson) {
    // status only reads: it neither logs nor waits for a writer.
    // A dry run leaves even the log as it was.
    const bool LLogs = AOptions.Command != cmStatus && !AOptions.DryRun;
    const std::filesystem::path LLogFile =
        LLogs ? ChooseLogFile(AOptions, AConsole, ASetup) : std::filesystem::path();
    const std::shared_ptr<TRegistryStore> LStore =
        ASetup.Store ? ASetup.Store : OpenDefaultRegistryStore();
    const TCommandContext LContext{
        AOptions, AConsole, ASetup, *LStore, AOptions.Server.value_or(ASetup.ApiUrl),
        LLogFile, AJson};
    if (LLogs) {
        LContext.JsonMember("log_file", LContext.JsonText(Utf8FromPath(LLogFile)));
    }
    // Commands that may change the machine keep other installers (the window
    // too) off the store while they run: a journal found at the start is then
    // one a killed run left, never one that is being written. What list,
    // status and verify print is read by scripts: the HTTP client's lines stay
    // in install.log there.
    const bool LChanges =
        !AOptions.DryRun && (AOptions.Command == cmInstall || AOptions.Command == cmUninstall ||
                             AOptions.Command == cmVerify || AOptions.Command == cmRepair ||
                             AOptions.Command == cmRecover);
    const bool LPrintsLog =
        !AOptions.DryRun && (AOptions.Command == cmInstall || AOptions.Command == cmUninstall ||
                             AOptions.Command == cmRepair || AOptions.Command == cmDownload);
    std::unique_ptr<TProcessLock> LLock;
    if (LChanges) {
        LLock = TakeStoreLock(LContext);
    }
    const TScopedHttpLog LHttpLog([&LContext, LPrintsLog](const std::string& ALine) {
        LPrintsLog ? LContext.Log(ALine) : LContext.LogToFile(ALine);
    });
    // Every command sets it, so a run in the same process never inherits another's.
    if (AOptions.Proxy) {
        THttpClient::SetProxy({THttpProxy::pmNamed, *AOptions.Proxy});
        THttpClient::Log("Proxy: " + *AOptions.Proxy + " for every request (--proxy)");
    } else if (AOptions.NoProxy) {
        THttpClient::SetProxy({THttpProxy::pmNone, {}});
        THttpClient::Log("No proxy: requests go straight to the server (--no-proxy)");
    } else {
        THttpClient::SetProxy({});
    }
    if (LChanges) {
        RecoverInterrupted(LContext);
    }
    switch (AOptions.Command) {
    case cmList:
        return RunList(LContext);
    case cmStatus:
        return RunStatus(LContext);
    case cmInstall:
        return RunInstall(LContext);
    case cmUninstall:
        return RunUninstall(LContext);
    case cmVerify:
        return RunVerify(LContext);
    case cmRepair:
        return RunRepair(LContext);
    case cmDownload:
        return RunDownload(LContext);
    case cmRecover:
        return RunRecover(LContext);
    case cmNone:
        break;
    }
    return ecRefused;
}

} // namespace

int RunCli(const std::vector<std::string>& AArgs, TConsole& AConsole, const TCliSetup& ASetup) {
    std::optional<TCliOptions> LOptions;
    rapidjson::Document LJson(rapidjson::kObjectType);
    // With --json standard output holds the document only; every human line
    // goes to standard error.
    TConsole LHuman{AConsole.In,         AConsole.Err, AConsole.Err,
                    AConsole.InTerminal, false,        AConsole.ReadSecret};
    std::string LError;
    int LResult = ecRefused;
    try {
        LOptions = ParseCliArguments(AArgs);
        if (LOptions->Help) {
            AConsole.Out << UsageText(ASetup.ApiUrl);
            return ecDone;
        }
        if (LOptions->ShowVersion) {
            AConsole.Out << "orvane-install " << ORVANE_VERSION_MAJOR << "." << ORVANE_VERSION_MINOR
                         << "." << ORVANE_VERSION_PATCH << "\n";
            return ecDone;
        }
        LJson.AddMember("command", rapidjson::StringRef(CommandName(LOptions->Command)),
                        LJson.GetAllocator());
        LResult = RunCommand(*LOptions, LOptions->Json ? LHuman : AConsole, ASetup,
                             LOptions->Json ? &LJson : nullptr);
    } catch (const EUsage& AError) {
        AConsole.Err << "orvane-install: " << AError.what()
                     << "\nRun orvane-install --help for the commands and flags.\n";
        LError = AError.what();
        LResult = ecRefused;
    } catch (const ERefused& AError) {
        AConsole.Err << "orvane-install: " << ConsoleText(AError.what()) << "\n";
        LError = AError.what();
        LResult = ecRefused;
    } catch (const EServer& AError) {
        AConsole.Err << "orvane-install: " << ConsoleText(AError.what()) << "\n";
        LError = AError.what();
        LResult = ecServer;
    } catch (const std::exception& AError) {
        AConsole.Err << "orvane-install: " << ConsoleText(AError.what()) << "\n";
        LError = AError.what();
        LResult = ecSomeFailed;
    }
    // Whatever a stopped run ran into on its way out, it was stopped.
    if (LResult != ecDone && ASetup.Interrupted && *ASetup.Interrupted) {
        LResult = ecStopped;
    }
    if (LOptions && LOptions->Json) {
        if (!LError.empty()) {
            LJson.RemoveMember("error");
            LJson.AddMember("error", rapidjson::Value(LError.c_str(), LJson.GetAllocator()),
                            LJson.GetAllocator());
        }
        LJson.AddMember("exit_code", LResult, LJson.GetAllocator());
        rapidjson::StringBuffer LBuffer;
        rapidjson::PrettyWriter<rapidjson::StringBuffer> LWriter(LBuffer);
        LJson.Accept(LWriter);
        AConsole.Out << LBuffer.GetString() << "\n" << std::flush;
    }
    return LResult;
}

} // namespace orvane::cli
