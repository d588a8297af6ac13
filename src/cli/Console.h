#pragma once

#include <functional>
#include <iosfwd>
#include <string>

namespace orvane::cli {

// Where a command reads and writes. The program passes the process's streams;
// tests pass buffers and say whether the "terminal" is there.
struct TConsole {
    std::istream& In;
    std::ostream& Out;
    std::ostream& Err;
    // Standard input is a terminal: questions may be asked there.
    bool InTerminal = false;
    // Standard output is a terminal: progress is one line drawn over itself.
    bool OutTerminal = false;
    // Reads a line from the terminal without echoing it (a password). Unset:
    // read from In as it is.
    std::function<std::string()> ReadSecret;
};

// The real process: UTF-8 on the Windows console, whether each stream is a
// terminal, and a password read with echo switched off.
TConsole ProcessConsole();

// A line from AIn without its line break ("\n" or "\r\n"); false at the end,
// and false without reading on once AStop says so (asked while a terminal
// has no line to give yet).
bool ReadLine(std::istream& AIn, std::string& ALine, const std::function<bool()>& AStop = {});

// Ends a read of standard input under way in ReadLine, which then fails; any
// thread, a console control handler included. Windows' own console ends the
// read at Ctrl-C by itself, Wine's does not.
void InterruptConsoleRead();

} // namespace orvane::cli
