#pragma once

#include <ctime>
#include <filesystem>
#include <string>

namespace orvane {

// "<yyyy-mm-dd hh:nn:ss.zzz> message\r\n".
std::string FormatLogEntry(const std::tm& ATime, int AMilliseconds, const std::string& AMessage);

// Appends an entry (UTF-8) to install.log, which both programs write in one
// encoding: single-byte text while every entry is ASCII; the first entry with
// anything else turns the file into UTF-8 with a byte-order mark, the earlier
// content converted from the system's ANSI code page (elsewhere: kept when it
// is UTF-8, else read as Latin-1), through a temporary file so the history is
// never at risk. Where that temporary file cannot be made the old content
// stays and the entry follows with "?" for each character outside ASCII. An
// ordinary entry reads only the file's first bytes, so a long log costs no
// more per entry than a short one. False when the entry could not be written.
bool AppendInstallLogEntry(const std::filesystem::path& AFile, const std::string& AEntry);

// AppendInstallLogEntry with the local time now; failures are ignored: the log
// is a courtesy record, a lost entry must never stop an install.
void LogLine(const std::filesystem::path& AFile, const std::string& AMessage);

// Whether entries can be appended to AFile (created when missing, its folder
// not); nothing is written to an existing file.
bool CanAppendTo(const std::filesystem::path& AFile);

// The user's own place for install.log when the installer's folder cannot take
// it: %LOCALAPPDATA%\Orvane\install.log on Windows, elsewhere
// $XDG_STATE_HOME/orvane/install.log (~/.local/state when unset). Empty when
// the system names no such folder.
std::filesystem::path UserInstallLogFile();

} // namespace orvane
