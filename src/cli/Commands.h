#pragma once

#include "cli/Console.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace orvane {
class TRegistryStore;
}

namespace orvane::cli {

// Exit codes, one table for every command.
enum TExitCode : int {
    ecDone = 0,       // all done
    ecSomeFailed = 1, // some version failed; each failure is on standard error
    ecRefused = 2,    // usage error, or refused (terms, running IDE, unknown version)
    ecServer = 3,     // server unreachable or sign-in refused
    ecStopped = 130,  // stopped by Ctrl-C, SIGTERM or the console closing
};

// What the program gives every command; tests give their own.
struct TCliSetup {
    // The API server when --server does not name one.
    std::string ApiUrl;
    // Where the terms and conditions can be read.
    std::string TermsUrl;
    // The registry store; null: the current user's.
    std::shared_ptr<TRegistryStore> Store;
    // The installer's folder: install.log, the SSL libraries, GetIt backups of an
    // uninstallation.
    std::filesystem::path ExeDir;
    // The IDE's executable among the running processes.
    std::string IDEProcessName = "bds.exe";
    // Set by Ctrl-C: the run stops at its next step.
    std::shared_ptr<std::atomic<bool>> Interrupted;
    // What set Interrupted ("interrupted (SIGTERM)"); a literal, so a signal
    // handler may set it. Null: "interrupted (Ctrl-C)".
    std::shared_ptr<std::atomic<const char*>> InterruptReason;
    // The lock that keeps two installers off the store (see StoreLockName);
    // empty: the lock of the user's store.
    std::string LockName;
};

// Runs one command line (arguments after the program name, UTF-8) and returns
// its exit code. Never throws.
int RunCli(const std::vector<std::string>& AArgs, TConsole& AConsole, const TCliSetup& ASetup);

} // namespace orvane::cli
