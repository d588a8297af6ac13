#include "registry/IDELocations.h"

#include "platform/FileNames.h"
#include "platform/SystemFolders.h"
#include "registry/IDEKeys.h"
#include "registry/Registry.h"

namespace orvane {

namespace {

// The folder above APath, absolute and normalised, with a trailing separator.
std::string ParentOf(const std::string& APath) {
    return IncludeTrailingPathDelimiter(
        FullPathName(IncludeTrailingPathDelimiter(APath) + ".." + PathDelimiter()));
}

// The folder above the IDE path in AValue. An empty value is as good as a
// missing one (a silent abort): taken as it is it would mean the drive's
// root. A relative one is refused with a message rather than taken below
// whatever folder the installer happens to run in.
std::string ReadIDEPath(TRegistryStore& AStore, const std::string& AKey,
                        const std::string& AValue) {
    TRegistry reg(AStore, raRead);
    if (!reg.KeyExists(AKey)) {
        throw ESilentAbort("registry key missing: " + AKey);
    }
    if (!reg.OpenKey(AKey, false)) {
        throw ESilentAbort("failed to open registry key: " + AKey);
    }
    const std::string LPath = reg.ReadExpandedString(AValue);
    if (LPath.empty()) {
        throw ESilentAbort("registry value empty: " + AKey + AValue);
    }
    // A share (\\server\share\...) is absolute too, though not every
    // standard library says so.
    const bool LShare = LPath.size() > 2 && (LPath[0] == '\\' || LPath[0] == '/') &&
                        LPath[1] == LPath[0] && PathDelimiter() == '\\';
    if (!LShare && !PathFromUtf8(LPath).is_absolute()) {
        throw ERelativeIDEPath("The registry value \"" + AValue + "\" of HKEY_CURRENT_USER\\" +
                               AKey + " is not an absolute folder: \"" + LPath + "\"");
    }
    return ParentOf(LPath);
}

} // namespace

std::string GetIDERootDir(TRegistryStore& AStore, const std::string& AVersion) {
    return ReadIDEPath(AStore, IDEKey(AVersion, "Maintenance"), "InstallDir");
}

std::string GetIDECommonDir(TRegistryStore& AStore, const std::string& AVersion) {
    try {
        return ReadIDEPath(AStore, IDEKey(AVersion, "Environment Variables"),
                           "BDSCatalogRepositoryAllUsers");
    } catch (const ERelativeIDEPath&) {
        throw;
    } catch (...) {
        const char sep = PathDelimiter();
        return IncludeTrailingPathDelimiter(GetCommonDocumentsDir()) + "Embarcadero" + sep +
               "Studio" + sep + AVersion + sep;
    }
}

std::optional<std::string> FindDefaultIDEDir(TRegistryStore& AStore) {
    // Newest first. After 23.0 the IDE registers as 37.0 (24 to 36 are unused),
    // so the search starts above that.
    for (int n = 40; n >= 19; --n) {
        try {
            return GetIDERootDir(AStore, std::to_string(n) + ".0");
        } catch (const std::exception&) {
        }
    }
    return std::nullopt;
}

std::string DefaultDownloadDir() {
    return IncludeTrailingPathDelimiter(GetCommonDocumentsDir()) + "Orvane" + PathDelimiter();
}

} // namespace orvane
