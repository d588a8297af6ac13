#pragma once

#include "server/Credentials.h"

#include <rapidjson/document.h>

#include <optional>
#include <string>
#include <vector>

namespace orvane {

// "file_version" when present, else derived from a non-empty "file" (the last
// "_" piece without ".zip"), else "0.0.0.0". The download URL of an entry is
// PackageEndpoint of server/Protocol.h.
std::string PackageFileVersion(const std::optional<std::string>& AFileVersion,
                               const std::string& AFile);
// "file", or "Orvane_<version>_<file version>.zip" when "file" is exactly "latest".
std::string PackageFileName(const std::string& AFile, const std::string& AVersion,
                            const std::string& AFileVersion);
// "GAMEPACKAGE", "BASIC", "DEVELOPER" (Developer Edition) or empty.
std::string PackageType(const std::string& AName, TUserMode AMode);
// The edition word of an installation record.
std::string LicenseWord(TUserMode AMode);

// Split at every ","; items are kept as written. An empty text has no items.
std::vector<std::string> SplitCommaList(const std::string& AText);
// The trimmed items that are not empty: a doubled or trailing comma names nothing.
std::vector<std::string> CommaListNames(const std::string& AText);

// Compares dotted versions part by part: numerically where both parts are
// numbers (1.10.0 is newer than 1.9.0), as text otherwise; a missing part counts
// as "0". Negative, zero or positive like strcmp.
int CompareVersions(const std::string& ALeft, const std::string& ARight);

// Folder of a platform's files below the IDE common directory: AKind ("Bpl" or
// "Dcp") itself for "Win32" (exact case), else its sub-folder named after the
// platform. Ends with ASeparator.
std::string PlatformFolder(const std::string& ACommonDir, const std::string& AKind,
                           const std::string& APlatform, char ASeparator);
// platform + "/Release/" + file name: how the package zip names its files.
std::string ReleaseEntryName(const std::string& APlatform, const std::string& AFileName);

// The entry's "sha256" in lower case, or nothing when the member is absent.
// False with AError when it is there but not 64 hexadecimal digits (it comes
// from the network: the version is not installed then).
bool ReadExpectedSha256(const rapidjson::Value& AEntry, std::optional<std::string>& ADigest,
                        std::string& AError);

// Most platforms and most names in "bpls", "dcps" or "dlls" an entry may list:
// far above any IDE, far below what makes the per-name, per-platform work slow.
inline constexpr std::size_t KMaxPlatforms = 64;
inline constexpr std::size_t KMaxNamesPerList = 2000;

// Every name of a version entry that becomes a path, checked before anything is
// written: "version" must look like an IDE version, the local package file
// name, each BPL, DCP and platform name, and the file name a "dlls" entry is
// written under must be plain file names. Empty when all are usable, else a
// line naming the member and its value. A list longer than its limit above is
// refused first, before any of its names is looked at.
std::string UnusableEntryName(const rapidjson::Value& AEntry);

} // namespace orvane
