#include "support/PythonService.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

void RunOrThrow(const std::string& ACommand) {
    if (std::system(ACommand.c_str()) != 0) {
        throw std::runtime_error("command failed: " + ACommand);
    }
}

std::string ShellQuote(const std::filesystem::path& APath) {
    return "'" + APath.string() + "'";
}

TPythonService::TPythonService(const std::filesystem::path& AScript,
                               const std::vector<std::string>& AArgs,
                               const std::filesystem::path& ALog) {
    std::vector<std::string> LArgs = {"python3", AScript.string()};
    LArgs.insert(LArgs.end(), AArgs.begin(), AArgs.end());
    int LPipe[2];
    if (pipe(LPipe) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string LLog = ALog.string();
    std::vector<char*> LArgv;
    for (auto& LArg : LArgs) {
        LArgv.push_back(LArg.data());
    }
    LArgv.push_back(nullptr);
    FPid = fork();
    if (FPid == 0) {
        dup2(LPipe[1], 1);
        close(LPipe[0]);
        close(LPipe[1]);
        if (FILE* LErr = std::fopen(LLog.c_str(), "w")) {
            dup2(fileno(LErr), 2);
        }
        execvp("python3", LArgv.data());
        _exit(127);
    }
    close(LPipe[1]);
    if (FPid < 0) {
        close(LPipe[0]);
        throw std::runtime_error("fork failed");
    }
    std::string LLine;
    pollfd LPoll{LPipe[0], POLLIN, 0};
    while (LLine.find('\n') == std::string::npos && poll(&LPoll, 1, 15000) > 0) {
        char LBuffer[256];
        const ssize_t LRead = read(LPipe[0], LBuffer, sizeof LBuffer);
        if (LRead <= 0) {
            break;
        }
        LLine.append(LBuffer, static_cast<std::size_t>(LRead));
    }
    close(LPipe[0]);
    if (LLine.rfind("PORT ", 0) != 0) {
        kill(FPid, SIGKILL);
        waitpid(FPid, nullptr, 0);
        throw std::runtime_error(AScript.filename().string() + " did not start: " + LLine);
    }
    FPort = std::stoi(LLine.substr(5));
}

TPythonService::~TPythonService() {
    if (FPid > 0) {
        kill(FPid, SIGTERM);
        waitpid(FPid, nullptr, 0);
    }
}
