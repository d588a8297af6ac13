#pragma once

#include <filesystem>
#include <string>

namespace orvane {

// The shared documents folder (Windows: SHGetFolderPathW(CSIDL_COMMON_DOCUMENTS));
// elsewhere the user's documents folder (XDG_DOCUMENTS_DIR, else ~/Documents).
// Empty when the system does not give one. No trailing separator.
std::string GetCommonDocumentsDir();

// The IDE folder offered when no IDE is registered, with a trailing separator.
// Windows: the IDE's usual install place, Embarcadero\Studio\ in the folder of
// 32-bit programs (C:\Program Files (x86)\ on most machines); empty when
// Windows does not name that folder.
// Elsewhere: the user's home folder, which always exists and is the user's own
// (a Windows path would be a relative folder here).
std::string DefaultIDEFolder();

// Folder of the running executable, with a trailing separator.
std::string GetExecutableDir();

// Absolute, lexically normalised form of APath ("." and ".." resolved), as
// GetFullPathNameW gives it on Windows; a path without a root is taken relative
// to the current directory (Windows: on the current drive). Throws
// std::runtime_error for a path the platform does not allow.
std::string FullPathName(const std::string& APath);

// AText with every %NAME% replaced by the environment variable NAME, as
// Windows expands a REG_EXPAND_SZ value (ExpandEnvironmentStringsW there; here
// the same rule over the process environment): a name that is not set, and a
// lone "%", stay as they are.
std::string ExpandEnvironmentText(const std::string& AText);

// The platform's path separator ("\" on Windows, "/" elsewhere).
char PathDelimiter();
// APath with the separator appended when it does not end with one.
std::string IncludeTrailingPathDelimiter(const std::string& APath);

} // namespace orvane
