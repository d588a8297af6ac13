#pragma once

// A process started for one test and killed at its end (POSIX only): the
// stand-in for a running IDE.
#include "support/FileText.h"

#include <csignal>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <grp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

class TStandInProcess {
public:
    // AArgs[0] is the program's path; it is also the command line's program.
    // With AUser, it runs as that user (and group), which needs root; the
    // program and its folders must then be open to that user.
    explicit TStandInProcess(const std::vector<std::string>& AArgs,
                             std::optional<uid_t> AUser = std::nullopt) {
        std::vector<char*> LArgv;
        for (const auto& LArg : AArgs) {
            LArgv.push_back(const_cast<char*>(LArg.c_str()));
        }
        LArgv.push_back(nullptr);
        if (!AUser) {
            if (posix_spawn(&FPid, LArgv[0], nullptr, nullptr, LArgv.data(), environ) != 0) {
                FPid = -1;
            }
            return;
        }
        FPid = fork();
        if (FPid == 0) {
            // Only async-signal-safe calls between fork and exec.
            if (setgroups(0, nullptr) == 0 && setgid(*AUser) == 0 && setuid(*AUser) == 0) {
                execve(LArgv[0], LArgv.data(), environ);
            }
            _exit(127);
        }
    }
    ~TStandInProcess() {
        if (FPid > 0) {
            kill(FPid, SIGKILL);
            waitpid(FPid, nullptr, 0);
        }
    }
    TStandInProcess(const TStandInProcess&) = delete;
    TStandInProcess& operator=(const TStandInProcess&) = delete;

    // -1 when it could not be started.
    pid_t Pid() const { return FPid; }

private:
    pid_t FPid = -1;
};

// Starts a copy of sleep named AName in ADir and waits until /proc shows that
// name (before exec it names the parent's program).
inline std::unique_ptr<TStandInProcess> StartIDEStandIn(const std::filesystem::path& ADir,
                                                        const std::string& AName) {
    std::filesystem::create_directories(ADir);
    std::filesystem::copy_file("/bin/sleep", ADir / AName,
                               std::filesystem::copy_options::overwrite_existing);
    auto LProcess =
        std::make_unique<TStandInProcess>(std::vector<std::string>{(ADir / AName).string(), "60"});
    for (int LTry = 0; LTry < 200 && LProcess->Pid() > 0; ++LTry) {
        if (ReadFileText("/proc/" + std::to_string(LProcess->Pid()) + "/comm").rfind(AName, 0) ==
            0) {
            break;
        }
        usleep(5000);
    }
    return LProcess;
}
