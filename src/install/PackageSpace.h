#pragma once

#include "install/FileOperations.h"
#include "install/ZipReader.h"

#include <rapidjson/document.h>

#include <string>
#include <vector>

namespace orvane {

// What the package will write where, from the sizes its zip declares (checked
// for sanity first): every entry below the version folder, the listed BPL and
// DCP entries into their platform folders below the IDE common folder, the
// listed DLLs into bin. Each file counts with what it takes on its drive
// (AllocatedSize), not its bytes alone. One need per folder, in the order
// first written to; the archive is checked (TZipReader::CheckArchive) first.
std::vector<TSpaceNeed> PackageSpaceNeeds(TZipReader& AZip, const rapidjson::Value& AEntry,
                                          const std::string& AVersionDir,
                                          const std::string& ACommonDir,
                                          const std::string& ABinDir);

// Most bytes a package download may take, and why: what extraction accepts
// (TZipReader::KMaxTotalSize and room for the zip's own records), and never
// more than the download folder's drive has free less KDownloadMargin and
// AReserved (what another version is still to write there). Beyond it the
// download stops.
struct TDownloadLimit {
    std::uint64_t Bytes = 0;
    std::string Reason;
    // The room kept for another version lowered Bytes.
    bool ByReserved = false;
};
inline constexpr std::uint64_t KDownloadMargin = std::uint64_t{64} << 20;
TDownloadLimit PackageDownloadLimit(const std::string& ADownloadDir, std::uint64_t AReserved = 0);
// Tests only: the extraction-based part of the limit; returns the old value.
std::uint64_t SetPackageDownloadCap(std::uint64_t ABytes);

} // namespace orvane
