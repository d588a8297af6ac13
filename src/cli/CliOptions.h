#pragma once

#include "server/Credentials.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvane::cli {

// A command line that cannot be run as written; the message says what to change.
class EUsage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum TCommand {
    cmNone,
    cmList,
    cmInstall,
    cmUninstall,
    cmStatus,
    cmVerify,
    cmRepair,
    cmDownload,
    cmRecover
};

// The console program's command line. Answers to the installer's questions stay
// empty unless a flag gives them: the program then asks on a terminal or fails
// naming the flag.
struct TCliOptions {
    TCommand Command = cmNone;
    bool Help = false;
    bool ShowVersion = false;
    std::optional<TUserMode> Edition;
    std::optional<std::string> User;
    bool PasswordStdin = false;
    bool AcceptTerms = false;
    std::vector<std::string> Versions; // --versions, in the order given
    bool All = false;
    std::optional<std::string> IdeDir;
    std::optional<std::string> DownloadDir;
    std::optional<bool> RemoveGetIt;        // --getit remove|keep
    std::optional<bool> ContinueIdeRunning; // --ide-running continue|stop
    std::optional<bool> DownloadAgain;      // --existing-zip download|use
    std::optional<bool> Reinstall;          // --installed reinstall|skip
    std::optional<std::string> Server;
    bool RemoveFiles = false;        // uninstall --remove-files
    bool RemoveConflicts = false;    // repair --remove-conflicts
    std::optional<std::string> To;   // download: the bundle's folder
    std::optional<std::string> From; // install, list: a bundle's folder or web address
    // Results as one JSON document on standard output; human text on standard error.
    bool Json = false;
    // Never ask, even on a terminal: a question without its flag refuses.
    bool NonInteractive = false;
    // Seconds to wait for another installer's lock; unset: refuse at once.
    std::optional<int> WaitLock;
    std::optional<std::string> LogFile;
    // list/install: every request through this proxy, or through none, whatever
    // the user's settings say; neither: the user's settings.
    std::optional<std::string> Proxy;
    bool NoProxy = false;
    // install/uninstall: say what the run would do and change nothing.
    bool DryRun = false;
};

// AArgs without the program name, UTF-8. Throws EUsage for an unknown command or
// flag, a flag the command does not take, a missing or invalid value, and a
// command without what it needs (--edition, the versions).
TCliOptions ParseCliArguments(const std::vector<std::string>& AArgs);

// The command's word on the command line ("install"); "" for none.
const char* CommandName(TCommand ACommand);

// The text --help prints; AApiUrl is the compiled-in server address.
std::string UsageText(const std::string& AApiUrl);

} // namespace orvane::cli
