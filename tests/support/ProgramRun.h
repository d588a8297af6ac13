#pragma once

// A program run through the shell for tests (POSIX): its exit code, standard
// output, and standard error collected through a file.
#include "support/FileText.h"

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>

struct TProgramRun {
    int Exit = -1;
    std::string Out;
    std::string Err;
};

// A text quoted for the shell.
inline std::string ShellWord(const std::string& AText) {
    std::string LOut = "'";
    for (const char LChar : AText) {
        LOut += LChar == '\'' ? std::string("'\\''") : std::string(1, LChar);
    }
    return LOut + "'";
}

// Runs ACommand (a shell command line) with standard error sent to AErrFile.
inline TProgramRun RunProgram(const std::string& ACommand, const std::filesystem::path& AErrFile) {
    TProgramRun LRun;
    FILE* LPipe = popen((ACommand + " 2>" + ShellWord(AErrFile.string())).c_str(), "r");
    if (!LPipe) {
        return LRun;
    }
    char LBuffer[4096];
    std::size_t LRead = 0;
    while ((LRead = fread(LBuffer, 1, sizeof LBuffer, LPipe)) > 0) {
        LRun.Out.append(LBuffer, LRead);
    }
    const int LStatus = pclose(LPipe);
    LRun.Exit = WIFEXITED(LStatus) ? WEXITSTATUS(LStatus) : -1;
    LRun.Err = ReadFileText(AErrFile);
    return LRun;
}
