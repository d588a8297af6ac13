#pragma once

// What the commands share: the context of one run, the refusals and their exit
// codes, questions, the sign-in and the server's package list.

#include "cli/CliOptions.h"
#include "cli/Commands.h"
#include "server/Bundle.h"
#include "server/ConfigurationList.h"
#include "server/Credentials.h"

#include <rapidjson/document.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane::cli {

// Refused before anything changed: exit code 2.
class ERefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The server cannot be reached or refuses the sign-in: exit code 3.
class EServer : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TCommandContext {
    const TCliOptions& Options;
    TConsole& Console;
    const TCliSetup& Setup;
    TRegistryStore& Store;
    std::string ApiUrl;
    std::filesystem::path LogFile;
    // The result document of --json; null without it.
    rapidjson::Document* Json = nullptr;

    bool Interrupted() const { return Setup.Interrupted && *Setup.Interrupted; }
    // "interrupted (Ctrl-C)", or what else stopped the run.
    std::string InterruptText() const;
    // Whether a question may be asked on the terminal.
    bool MayAsk() const { return Console.InTerminal && !Options.NonInteractive; }
    // Adds AName = AValue to the JSON result, when there is one.
    void JsonMember(const char* AName, rapidjson::Value AValue) const;
    rapidjson::Value JsonText(const std::string& AText) const;
    // A line for install.log and, when nobody watches a terminal, standard
    // output. Any thread.
    void Log(const std::string& ALine) const;
    // A line for install.log only. Any thread.
    void LogToFile(const std::string& ALine) const;
};

// A yes/no question: the flag's answer when given (logged as such), else asked
// on the terminal, else ERefused naming AFlag ("--getit remove|keep").
bool Answer(const TCommandContext& AContext, const std::string& AQuestion,
            const std::optional<bool>& AFlagAnswer, const std::string& AFlag);

// The edition's login: the commercial edition's user from --user or the
// terminal, its password from standard input or a prompt without echo.
TCredentials SignIn(const TCommandContext& AContext);

// The configuration document with the entries the Versions page would list.
struct TPackageList {
    std::unique_ptr<rapidjson::Document> Document;
    std::vector<TListedEntry> Entries;
};
// Signs in and fetches the list; EServer when that fails. AText, when given,
// gets the document's bytes as the server sent them.
TPackageList FetchPackageList(const TCommandContext& AContext, const TCredentials& ACredentials,
                              std::string* AText = nullptr);

// An entry that names a file to download; the others cannot be installed.
bool IsAvailable(const TListedEntry& AEntry);
// "22.0, 23.0", or "none".
std::string JoinVersions(const std::vector<std::string>& AVersions);

// Text on one line for a summary: line breaks become " / ", other control
// characters "?".
std::string OneLine(const std::string& AText);

// Text from outside made safe for a terminal: control characters become "?".
std::string Printable(const std::string& AText);
// A message for the console: its lines end in "\n" (the window's texts use
// "\r\n"), other control characters become "?".
std::string ConsoleText(const std::string& AText);

// The entries to install or download, in the list's order: every available
// one for --all, else those of the versions asked for; ERefused for a version
// the list does not offer.
// AForThisMachine: only the IDE versions registered here (an installation);
// false: any (a bundle made for other machines).
std::vector<const rapidjson::Value*> ChosenEntries(const TCommandContext& AContext,
                                                   const TPackageList& AList,
                                                   bool AForThisMachine = true);

// A bundle named by --from, read; ERefused when it cannot be read or its
// edition is not the one --edition names.
std::shared_ptr<const TBundleSource> OpenBundle(const TCommandContext& AContext);
// The bundle's edition, without a login.
TCredentials BundleCredentials(const TBundleSource& ABundle);
// The bundle's configuration with the entries it holds a package for.
TPackageList BundlePackageList(const TBundleSource& ABundle);

// Rolls back what a killed run left half installed (a line on standard error
// and in install.log for each version); before a command's first change.
void RecoverInterrupted(const TCommandContext& AContext);
int RunInstall(const TCommandContext& AContext);
int RunDownload(const TCommandContext& AContext);
int RunUninstall(const TCommandContext& AContext);
// Exit 0 when every installation checked is whole, 1 with one line per problem.
int RunVerify(const TCommandContext& AContext);
// Puts back what verify finds; the exit code and lines are verify's afterwards.
int RunRepair(const TCommandContext& AContext);

} // namespace orvane::cli
