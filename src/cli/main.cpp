// orvane-install: the installer for build machines, without a window.
#include "cli/Commands.h"
#include "cli/Console.h"
#include "platform/FileNames.h"
#include "platform/SystemFolders.h"
#include "server/HttpClient.h"

#include <atomic>
#include <csignal>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include "platform/Win32Text.h"

#include <shellapi.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

std::atomic<bool> GInterrupted{false};
std::atomic<const char*> GInterruptReason{nullptr};
std::atomic<bool> GFinished{false};

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD AEvent) {
    const char* LReason = AEvent == CTRL_C_EVENT       ? "interrupted (Ctrl-C)"
                          : AEvent == CTRL_BREAK_EVENT ? "interrupted (Ctrl-Break)"
                          : AEvent == CTRL_CLOSE_EVENT ? "interrupted (the console was closed)"
                                                       : nullptr;
    if (LReason == nullptr) {
        return FALSE;
    }
    if (GInterrupted.exchange(true)) {
        // A second one ends the program at once, as stopped, never as done.
        ExitProcess(orvane::cli::ecStopped);
    }
    GInterruptReason = LReason;
    // A request waiting on a silent server (a token answer, a download
    // ahead) sees this within a second, not at its time-out.
    orvane::THttpClient::CancelAll();
    // So does a question waiting for its answer.
    orvane::cli::InterruptConsoleRead();
    if (AEvent == CTRL_CLOSE_EVENT) {
        // Windows ends the process when this handler returns (or after a few
        // seconds): give the run that time to stop after its current step.
        for (int LWait = 0; LWait < 45 && !GFinished; ++LWait) {
            Sleep(100);
        }
    }
    return TRUE;
}
#else
extern "C" void OnInterrupt(int ASignal) {
    if (GInterrupted.exchange(true)) {
        // A second one ends the program at once, as stopped, never as done.
        _exit(orvane::cli::ecStopped);
    }
    GInterruptReason = ASignal == SIGTERM  ? "interrupted (SIGTERM)"
                       : ASignal == SIGHUP ? "interrupted (SIGHUP)"
                                           : "interrupted (Ctrl-C)";
    // Only an atomic counter: safe in a signal handler. A request waiting on a
    // silent server sees it within a second, not at its time-out.
    orvane::THttpClient::CancelAll();
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
    struct sigaction LAction {};
    LAction.sa_handler = OnInterrupt;
    sigemptyset(&LAction.sa_mask);
    for (const int LSignal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(LSignal, &LAction, nullptr);
    }
#endif
    // A CI log shows each line as it is written, not all of them at the end.
    std::cout << std::unitbuf;
    std::cerr << std::unitbuf;
    orvane::cli::TCliSetup LSetup;
    LSetup.ApiUrl = ORVANE_API_URL;
    LSetup.TermsUrl = ORVANE_TERMS_URL;
    LSetup.ExeDir = orvane::PathFromUtf8(orvane::GetExecutableDir());
    LSetup.Interrupted = std::shared_ptr<std::atomic<bool>>(&GInterrupted, [](auto*) {});
    LSetup.InterruptReason =
        std::shared_ptr<std::atomic<const char*>>(&GInterruptReason, [](auto*) {});
    orvane::cli::TConsole LConsole = orvane::cli::ProcessConsole();
    const int LResult = orvane::cli::RunCli(Arguments(argc, argv), LConsole, LSetup);
    GFinished = true;
    return LResult;
}
