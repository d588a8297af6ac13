// orvane-install: the installer for build machines, without a window.
#include "cli/Commands.h"
#include "cli/Console.h"
#include "platform/FileNames.h"
#include "platform/SystemFolders.h"

#include <atomic>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/Win32Text.h"

#include <shellapi.h>
#include <windows.h>
#endif

namespace {

std::atomic<bool> GInterrupted{false};

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD AEvent) {
    if (AEvent != CTRL_C_EVENT && AEvent != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    if (GInterrupted.exchange(true)) {
        return FALSE; // a second Ctrl-C ends the program at once
    }
    return TRUE;
}
#else
extern "C" void OnInterrupt(int) {
    GInterrupted = true;
    // A second Ctrl-C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}
#endif

// The arguments as UTF-8 whatever the code pages: Windows hands them over as UTF-16.
std::vector<std::string> Arguments([[maybe_unused]] int AArgc, [[maybe_unused]] char** AArgv) {
    std::vector<std::string> LArgs;
#ifdef _WIN32
    int LCount = 0;
    wchar_t** LWide = CommandLineToArgvW(GetCommandLineW(), &LCount);
    for (int LIndex = 1; LWide && LIndex < LCount; ++LIndex) {
        LArgs.push_back(orvane::Narrow(LWide[LIndex]));
    }
    LocalFree(LWide);
#else
    for (int LIndex = 1; LIndex < AArgc; ++LIndex) {
        LArgs.emplace_back(AArgv[LIndex]);
    }
#endif
    return LArgs;
}

} // namespace

int main(int argc, char** argv) {
    // Set only a flag: the run sees it at its next step and stops cleanly.
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    std::signal(SIGINT, OnInterrupt);
#endif
    orvane::cli::TCliSetup LSetup;
    LSetup.ApiUrl = ORVANE_API_URL;
    LSetup.TermsUrl = ORVANE_TERMS_URL;
    LSetup.ExeDir = orvane::PathFromUtf8(orvane::GetExecutableDir());
    LSetup.Interrupted = std::shared_ptr<std::atomic<bool>>(&GInterrupted, [](auto*) {});
    orvane::cli::TConsole LConsole = orvane::cli::ProcessConsole();
    return orvane::cli::RunCli(Arguments(argc, argv), LConsole, LSetup);
}
