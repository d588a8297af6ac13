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
// listed DLLs into bin.
std::vector<TSpaceNeed> PackageSpaceNeeds(const TZipReader& AZip, const rapidjson::Value& AEntry,
                                          const std::string& AVersionDir,
                                          const std::string& ACommonDir,
                                          const std::string& ABinDir);

} // namespace orvane
