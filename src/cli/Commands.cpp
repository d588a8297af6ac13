#include "cli/Commands.h"

#include "cli/CommandSupport.h"
#include "cli/InstallLogWriter.h"
#include "install/PackageRules.h"
#include "platform/FileNames.h"
#include "registry/ProductRecords.h"
#include "registry/RegistryStore.h"
#include "server/ConfigurationFetch.h"
#include "server/HttpClient.h"
#include "server/MachineIdentifier.h"
#include "server/Protocol.h"

#include <mutex>
#include <ostream>

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

bool IsAvailable(const TListedEntry& AEntry) {
    return AEntry.Enabled && !ReadMemberTextOrEmpty(*AEntry.Entry, "file").empty();
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
    if (!AContext.Console.InTerminal) {
        throw ERefused(AQuestion + "\nNo terminal to answer this question: give " + AFlag + ".");
    }
    for (;;) {
        AContext.Console.Err << ConsoleText(AQuestion) << "\n(" << AFlag
                             << ") Answer yes or no: " << std::flush;
        std::string LLine;
        if (!ReadLine(AContext.Console.In, LLine)) {
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
    } else if (LConsole.InTerminal && !AContext.Options.PasswordStdin) {
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
    } else if (LConsole.InTerminal) {
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
    for (const TListedEntry& LEntry : LList.Entries) {
        const rapidjson::Value& LValue = *LEntry.Entry;
        const std::string LFile = ReadMemberTextOrEmpty(LValue, "file");
        std::string LLine =
            Printable(ReadMemberTextOrEmpty(LValue, "version")) + "\t" +
            Printable(ReadMemberTextOrEmpty(LValue, "name")) + "\t" +
            Printable(PackageFileVersion(ReadMemberText(LValue, "file_version"), LFile));
        if (!IsAvailable(LEntry)) {
            LLine += "\t(not available)";
        }
        AContext.Console.Out << LLine << "\n";
    }
    return ecDone;
}

int RunStatus(const TCommandContext& AContext) {
    int LResult = ecDone;
    for (const TOrvaneRegistryData& LRecord : ReadInstalledVersions(AContext.Store)) {
        if (!LRecord.ReadError.empty()) {
            AContext.Console.Err << Printable(LRecord.IDEVersion) << ": the record cannot be read ("
                                 << Printable(LRecord.ReadError) << ")\n";
            LResult = ecSomeFailed;
            continue;
        }
        AContext.Console.Out << Printable(LRecord.IDEVersion) << "\t" << Printable(LRecord.Version)
                             << "\t" << Printable(LRecord.License) << "\t"
                             << Printable(LRecord.DateTime) << "\t" << Printable(LRecord.Path)
                             << "\n";
    }
    return LResult;
}

int RunCommand(const TCliOptions& AOptions, TConsole& AConsole, const TCliSetup& ASetup) {
    const std::shared_ptr<TRegistryStore> LStore =
        ASetup.Store ? ASetup.Store : OpenDefaultRegistryStore();
    const TCommandContext LContext{AOptions,
                                   AConsole,
                                   ASetup,
                                   *LStore,
                                   AOptions.Server.value_or(ASetup.ApiUrl),
                                   ASetup.ExeDir / "install.log"};
    // What list and status print is read by scripts: the HTTP client's lines
    // stay in install.log there.
    const bool LPrintsLog = AOptions.Command == cmInstall || AOptions.Command == cmUninstall ||
                            AOptions.Command == cmDownload;
    const TScopedHttpLog LHttpLog([&LContext, LPrintsLog](const std::string& ALine) {
        LPrintsLog ? LContext.Log(ALine) : LContext.LogToFile(ALine);
    });
    switch (AOptions.Command) {
    case cmList:
        return RunList(LContext);
    case cmStatus:
        return RunStatus(LContext);
    case cmInstall:
        return RunInstall(LContext);
    case cmUninstall:
        return RunUninstall(LContext);
    case cmDownload:
        return RunDownload(LContext);
    case cmNone:
        break;
    }
    return ecRefused;
}

} // namespace

int RunCli(const std::vector<std::string>& AArgs, TConsole& AConsole, const TCliSetup& ASetup) {
    try {
        const TCliOptions LOptions = ParseCliArguments(AArgs);
        if (LOptions.Help) {
            AConsole.Out << UsageText();
            return ecDone;
        }
        if (LOptions.ShowVersion) {
            AConsole.Out << "orvane-install " << ORVANE_VERSION_MAJOR << "." << ORVANE_VERSION_MINOR
                         << "." << ORVANE_VERSION_PATCH << "\n";
            return ecDone;
        }
        return RunCommand(LOptions, AConsole, ASetup);
    } catch (const EUsage& AError) {
        AConsole.Err << "orvane-install: " << AError.what()
                     << "\nRun orvane-install --help for the commands and flags.\n";
        return ecRefused;
    } catch (const ERefused& AError) {
        AConsole.Err << "orvane-install: " << ConsoleText(AError.what()) << "\n";
        return ecRefused;
    } catch (const EServer& AError) {
        AConsole.Err << "orvane-install: " << ConsoleText(AError.what()) << "\n";
        return ecServer;
    } catch (const std::exception& AError) {
        AConsole.Err << "orvane-install: " << ConsoleText(AError.what()) << "\n";
        return ecSomeFailed;
    }
}

} // namespace orvane::cli
