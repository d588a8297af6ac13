#pragma once

// What the in-process tests of the console program share: a setup on a temp
// folder and a run with buffers for the streams.
#include "cli/Commands.h"
#include "platform/ProcessLock.h"
#include "registry/RegistryStore.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

struct TCliRun {
    int Code = -1;
    std::string Out;
    std::string Err;
};

// The program's setup with everything in ADir: the registry store, its lock,
// install.log and the SSL libraries' folder.
inline orvane::cli::TCliSetup TempCliSetup(const std::filesystem::path& ADir) {
    orvane::cli::TCliSetup Result;
    Result.TermsUrl = "https://orvane.example/terms";
    Result.ExeDir = ADir;
    Result.Store = orvane::OpenSqliteRegistryStore(ADir / "registry.sqlite");
    Result.Interrupted = std::make_shared<std::atomic<bool>>(false);
    Result.LockName = orvane::StoreLockName(ADir / "registry.sqlite");
    return Result;
}

inline TCliRun RunCliWith(const std::vector<std::string>& AArgs,
                          const orvane::cli::TCliSetup& ASetup, const std::string& AInput = "",
                          bool ATerminal = false) {
    std::istringstream LIn(AInput);
    std::ostringstream LOut;
    std::ostringstream LErr;
    orvane::cli::TConsole LConsole{LIn, LOut, LErr, ATerminal, ATerminal, {}};
    TCliRun Result;
    Result.Code = orvane::cli::RunCli(AArgs, LConsole, ASetup);
    Result.Out = LOut.str();
    Result.Err = LErr.str();
    return Result;
}
