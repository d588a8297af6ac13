#include "cli/Console.h"

#include <atomic>
#include <cerrno>
#include <iostream>
#include <istream>

#ifdef _WIN32
#include "platform/Win32Text.h"

#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace orvane::cli {

namespace {

#ifdef _WIN32
bool IsTerminal(DWORD AHandle) {
    DWORD LMode = 0;
    return GetConsoleMode(GetStdHandle(AHandle), &LMode) != 0;
}

// The console hands characters over as UTF-16; ReadConsoleW keeps whatever the
// user types, whatever the code pages.
std::string ReadConsoleLineWithoutEcho() {
    const HANDLE LIn = GetStdHandle(STD_INPUT_HANDLE);
    DWORD LMode = 0;
    GetConsoleMode(LIn, &LMode);
    SetConsoleMode(LIn, (LMode & ~DWORD{ENABLE_ECHO_INPUT}) | ENABLE_LINE_INPUT);
    std::wstring LLine;
    wchar_t LBuffer[256];
    DWORD LRead = 0;
    while (ReadConsoleW(LIn, LBuffer, 256, &LRead, nullptr) && LRead > 0) {
        LLine.append(LBuffer, LRead);
        if (LLine.back() == L'\n') {
            break;
        }
    }
    SetConsoleMode(LIn, LMode);
    while (!LLine.empty() && (LLine.back() == L'\n' || LLine.back() == L'\r')) {
        LLine.pop_back();
    }
    std::cerr << "\n";
    return Narrow(LLine);
}
#else
std::string ReadTerminalLineWithoutEcho() {
    termios LOld{};
    const bool LHaveTerminal = tcgetattr(STDIN_FILENO, &LOld) == 0;
    if (LHaveTerminal) {
        termios LQuiet = LOld;
        LQuiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &LQuiet);
    }
    std::string LLine;
    ReadLine(std::cin, LLine);
    if (LHaveTerminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &LOld);
    }
    std::cerr << "\n";
    return LLine;
}
#endif

#ifdef _WIN32
// The thread reading standard input in ReadLine now; null: none.
std::atomic<HANDLE> GReader{nullptr};
// Set by InterruptConsoleRead: no read of standard input starts any more.
std::atomic<bool> GReadsInterrupted{false};
#endif

} // namespace

bool ReadLine(std::istream& AIn, std::string& ALine, const std::function<bool()>& AStop) {
    if (AStop && AStop()) {
        return false;
    }
#ifdef _WIN32
    // Only a read of the real standard input needs cancelling. The handle is
    // kept for the thread's life: a handler holding it just after the read
    // ended must not meet a closed (or reused) handle.
    static thread_local HANDLE LThread = nullptr;
    if (&AIn == &std::cin && !LThread) {
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &LThread, 0,
                        FALSE, DUPLICATE_SAME_ACCESS);
    }
    if (&AIn == &std::cin) {
        GReader = LThread;
        if (GReadsInterrupted) {
            GReader = nullptr;
            return false;
        }
    }
    const bool LRead = static_cast<bool>(std::getline(AIn, ALine));
    GReader = nullptr;
    if (!LRead) {
        return false;
    }
#else
    // A signal that came just before the read began would not end it: a
    // terminal is read only once it has a whole line, and asked meanwhile.
    // (A terminal gives one line per read, so nothing waits in a buffer.)
    if (AStop && &AIn == &std::cin && isatty(STDIN_FILENO) == 1) {
        for (;;) {
            pollfd LPoll{STDIN_FILENO, POLLIN, 0};
            const int LReady = ::poll(&LPoll, 1, 50);
            if (AStop()) {
                return false;
            }
            if (LReady != 0 && !(LReady < 0 && errno == EINTR)) {
                break;
            }
        }
    }
    if (!std::getline(AIn, ALine)) {
        return false;
    }
#endif
    if (!ALine.empty() && ALine.back() == '\r') {
        ALine.pop_back();
    }
    return true;
}

void InterruptConsoleRead() {
#ifdef _WIN32
    GReadsInterrupted = true;
    // A read that was about to start when the flag was set is cancelled on
    // a later round: only a read under way can be.
    for (int LRound = 0; LRound < 100; ++LRound) {
        const HANDLE LThread = GReader.load();
        if (!LThread) {
            return;
        }
        CancelSynchronousIo(LThread);
        Sleep(20);
    }
#endif
}

TConsole ProcessConsole() {
#ifdef _WIN32
    // Output is UTF-8 bytes; the console shows them as such.
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCP(CP_UTF8);
    TConsole LConsole{
        std::cin, std::cout, std::cerr, IsTerminal(STD_INPUT_HANDLE), IsTerminal(STD_OUTPUT_HANDLE),
        {}};
    if (LConsole.InTerminal) {
        LConsole.ReadSecret = ReadConsoleLineWithoutEcho;
    }
#else
    TConsole LConsole{
        std::cin, std::cout, std::cerr, isatty(STDIN_FILENO) == 1, isatty(STDOUT_FILENO) == 1, {}};
    if (LConsole.InTerminal) {
        LConsole.ReadSecret = ReadTerminalLineWithoutEcho;
    }
#endif
    return LConsole;
}

} // namespace orvane::cli
