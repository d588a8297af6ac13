#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace orvane {

// Files are written under their final name plus this and renamed when whole.
inline constexpr std::string_view KPartialSuffix = ".part";

// Names that come from outside (the server, a zip, a registry key) become file
// names only through these checks, so none can steer a write out of its folder.

// Why AName cannot stand as a plain file name inside a folder, on Windows or
// here; empty when it can. Rejected: empty, "." and "..", separators, drive or
// stream colons, characters Windows forbids in names, control characters, a
// trailing dot or blank (Windows drops them), reserved device names such as
// CON, COM1 or COM\u00B9 (also with an extension), invalid UTF-8, and names too
// long to be written under their name plus KPartialSuffix.
std::string UnsafeFileNameReason(const std::string& AName);

// AName made usable as a plain file name: every character UnsafeFileNameReason
// objects to becomes "_", a reserved device name gets "_" appended, and an
// empty result becomes "_". A safe name comes back unchanged.
std::string SafeFileName(const std::string& AName);

// What follows the last "/" or "\" of APath: the name a Windows or POSIX path
// ends in, whichever platform runs.
std::string FileNamePart(const std::string& APath);

// What an IDE version looks like in the IDE's registry key names: digits in
// dot-separated groups, such as "22.0" or "37.0"; nothing else.
bool IsIdeVersionText(const std::string& AText);

// ADir / (AStem + AExtension) when no file or folder of that name exists yet,
// else the first free of "AStem (2)AExtension", "AStem (3)AExtension", ...
// AStem and AExtension are UTF-8. Writers still create the file exclusively:
// this only picks the name. ATaken, when given, refuses further candidates
// (names other threads hold or are about to write).
std::filesystem::path
FirstFreeFileName(const std::filesystem::path& ADir, const std::string& AStem,
                  const std::string& AExtension,
                  const std::function<bool(const std::filesystem::path&)>& ATaken = {});

// A folder a person named (a field of the window, a flag of the console) as
// the installer writes below it: a relative folder is taken below the working
// folder, and the result is absolute, normalised and ends with the separator.
// Refused, with AError saying why and naming AWhat: an empty text (which would
// otherwise mean the drive's root or the working folder by accident) and the
// root of a drive itself.
bool AbsoluteFolder(const std::string& AText, const std::string& AWhat, std::string& AFolder,
                    std::string& AError);

// UTF-8 text to a path and back, the same on every platform. Every path that
// leaves a std::string goes through these: on Windows a narrow string would be
// taken in the ANSI code page.
std::filesystem::path PathFromUtf8(const std::string& AText);
std::string Utf8FromPath(const std::filesystem::path& APath);

} // namespace orvane
