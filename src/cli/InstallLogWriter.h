#pragma once

#include <ctime>
#include <filesystem>
#include <string>

namespace orvane::cli {

// "<yyyy-mm-dd hh:nn:ss.zzz> message\r\n", the window's log entry.
std::string FormatLogEntry(const std::tm& ATime, int AMilliseconds, const std::string& AMessage);

// Appends an entry (UTF-8) to the install.log the window writes too, in the
// same encoding: single-byte text while every entry is ASCII; the first entry
// with anything else turns the file into UTF-8 with a byte-order mark, the
// earlier content converted from the system's ANSI code page (elsewhere:
// kept when it is UTF-8, else read as Latin-1), through a temporary file so
// the history is never at risk. False when the entry could not be written.
bool AppendInstallLogEntry(const std::filesystem::path& AFile, const std::string& AEntry);

// AppendInstallLogEntry with the local time now; failures are ignored, as the
// window ignores them.
void LogLine(const std::filesystem::path& AFile, const std::string& AMessage);

} // namespace orvane::cli
