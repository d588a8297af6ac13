#include "install/InstallRoots.h"

#include "platform/FileNames.h"
#include "platform/Text.h"
#include "registry/IDEKeys.h"
#include "registry/ProductRecords.h"
#include "registry/X64Packages.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace orvane {

namespace {

fs::path WithoutTrailingSeparator(const fs::path& APath) {
    return APath.has_filename() || !APath.has_parent_path() ? APath : APath.parent_path();
}

// Absolute, with no "." or ".." among its parts: a path as the installer
// writes it, which cannot climb out of the folder it names.
bool IsPlainAbsolute(const fs::path& APath) {
    if (!APath.is_absolute()) {
        return false;
    }
    for (const fs::path& LPart : APath.relative_path()) {
        if (LPart == "." || LPart == "..") {
            return false;
        }
    }
    return true;
}

bool EndsWithNoCase(const std::string& AText, const std::string& AEnd) {
    return AText.size() >= AEnd.size() && SameName(AText.substr(AText.size() - AEnd.size()), AEnd);
}

bool StartsWithNoCase(const std::string& AText, const std::string& AStart) {
    return AText.size() >= AStart.size() && SameName(AText.substr(0, AStart.size()), AStart);
}

bool IsLink(const fs::path& APath) {
    std::error_code LError;
    return fs::is_symlink(APath, LError);
}

std::string Shown(const std::string& APath) {
    return Quoted(Visible(ShortenedText(APath, KShownValueBytes)));
}

} // namespace

bool SamePath(const fs::path& A, const fs::path& B) {
    fs::path LA = WithoutTrailingSeparator(A);
    fs::path LB = WithoutTrailingSeparator(B);
#ifdef _WIN32
    LA.make_preferred();
    LB.make_preferred();
    return SameName(Utf8FromPath(LA), Utf8FromPath(LB));
#else
    return LA == LB;
#endif
}

std::string VersionFolderRefusal(const std::string& AFolder, const std::string& AIDEVersion) {
    const fs::path LFolder = WithoutTrailingSeparator(PathFromUtf8(AFolder));
    if (!IsIdeVersionText(AIDEVersion) || !IsPlainAbsolute(LFolder) ||
        LFolder == LFolder.root_path() ||
        !SameName(Utf8FromPath(LFolder.filename()), AIDEVersion)) {
        return Shown(AFolder) + " is not a folder of the IDE version " + Quoted(AIDEVersion) +
               "'s package";
    }
    if (IsLink(LFolder)) {
        return Shown(AFolder) + " is a link, not the folder the package was extracted into";
    }
    return {};
}

TInstallRoots::TInstallRoots(std::string AIDEVersion, std::string ACommonDir, fs::path ADataDir,
                             std::string AExeDir)
    : FIDEVersion(std::move(AIDEVersion)), FCommonDir(std::move(ACommonDir)),
      FDataDir(std::move(ADataDir)), FExeDir(std::move(AExeDir)) {}

fs::path TInstallRoots::ManifestsFolder() const {
    return FDataDir / "Manifests";
}

bool TInstallRoots::IsPackageFolder(const fs::path& AFolder) const {
    if (FCommonDir.empty() || !IsPlainAbsolute(AFolder)) {
        return false;
    }
    const fs::path LFolder = WithoutTrailingSeparator(AFolder);
    const fs::path LCommon = WithoutTrailingSeparator(PathFromUtf8(FCommonDir));
    for (const char* LKind : {"Bpl", "Dcp"}) {
        if (SamePath(LFolder, LCommon / LKind) ||
            (SamePath(LFolder.parent_path(), LCommon / LKind) &&
             UnsafeFileNameReason(Utf8FromPath(LFolder.filename())).empty())) {
            return true;
        }
    }
    return false;
}

bool TInstallRoots::IsBinFolder(const fs::path& AFolder) const {
    const fs::path LFolder = WithoutTrailingSeparator(AFolder);
    return IsPlainAbsolute(LFolder) && SameName(Utf8FromPath(LFolder.filename()), "bin") &&
           SameName(Utf8FromPath(LFolder.parent_path().filename()), FIDEVersion);
}

std::string TInstallRoots::FileRefusal(const std::string& AFile) const {
    const fs::path LFile = PathFromUtf8(AFile);
    const std::string LName = Utf8FromPath(LFile.filename());
    const fs::path LFolder = LFile.parent_path();
    const std::string LOutside = Shown(AFile) + " is outside the folders the installation of " +
                                 Quoted(FIDEVersion) + " writes to";
    if (!IsIdeVersionText(FIDEVersion) || !IsPlainAbsolute(LFile) ||
        !UnsafeFileNameReason(LName).empty()) {
        return LOutside;
    }
    const bool LPackageFile = IsPackageFolder(LFolder);
    // The package's DLLs and the two SSL libraries.
    const bool LBinFile = IsBinFolder(LFolder) && EndsWithNoCase(LName, ".dll");
    const bool LManifest = SamePath(LFolder, ManifestsFolder()) &&
                           StartsWithNoCase(LName, FIDEVersion) &&
                           EndsWithNoCase(LName, ".manifest");
    if (!LPackageFile && !LBinFile && !LManifest) {
        return LOutside;
    }
    if (IsLink(LFolder)) {
        return Shown(AFile) + " is in a folder that is a link";
    }
    return {};
}

std::string TInstallRoots::FolderRefusal(const std::string& AFolder) const {
    const fs::path LFolder = WithoutTrailingSeparator(PathFromUtf8(AFolder));
    const std::string LOutside =
        Shown(AFolder) + " is not a folder the installation of " + Quoted(FIDEVersion) + " creates";
    if (!IsIdeVersionText(FIDEVersion) || !IsPlainAbsolute(LFolder)) {
        return LOutside;
    }
    if (IsBinFolder(LFolder) || IsPackageFolder(LFolder)) {
        return {};
    }
    if (FCommonDir.empty()) {
        return LOutside;
    }
    const fs::path LCommon = WithoutTrailingSeparator(PathFromUtf8(FCommonDir));
    // The common folder and the folders above it are created when missing.
    for (fs::path LAbove = LCommon; !LAbove.empty(); LAbove = LAbove.parent_path()) {
        if (SamePath(LFolder, LAbove)) {
            return {};
        }
        if (LAbove == LAbove.parent_path()) {
            break;
        }
    }
    return LOutside;
}

std::string TInstallRoots::KeyRefusal(const std::string& AKey, bool ADeletes) const {
    std::string LKey = AKey;
    while (!LKey.empty() && LKey.back() == '\\') {
        LKey.pop_back();
    }
    const std::string LRefused = "the key HKEY_CURRENT_USER\\" + Visible(ShortenedText(LKey, 200)) +
                                 " is not one a step of " + Quoted(FIDEVersion) + " may " +
                                 (ADeletes ? "delete" : "change");
    if (!IsIdeVersionText(FIDEVersion)) {
        return LRefused;
    }
    std::string LRecord = RecordKey(FIDEVersion);
    LRecord.pop_back();
    if (SameName(LKey, LRecord) || StartsWithNoCase(LKey, LRecord + "\\")) {
        return {};
    }
    const std::string LVersionKey = KBdsKey + FIDEVersion + "\\";
    if (ADeletes || !StartsWithNoCase(LKey, LVersionKey)) {
        return LRefused;
    }
    const std::string LSub = LKey.substr(LVersionKey.size());
    for (const std::string& LList :
         {std::string("Known Packages"), std::string("Disabled Packages"), KKnownPackagesX64,
          KDisabledPackagesX64}) {
        if (SameName(LSub, LList)) {
            return {};
        }
    }
    for (const std::string& LParent : {std::string("Library\\"), std::string("C++\\Paths\\")}) {
        if (StartsWithNoCase(LSub, LParent) && LSub.size() > LParent.size() &&
            LSub.find('\\', LParent.size()) == std::string::npos) {
            return {};
        }
    }
    return LRefused;
}

std::optional<std::string> TInstallRoots::OwnCopySource(const std::string& ASource) const {
    const std::string LName = FileNamePart(ASource);
    if (!SameName(LName, "libeay32.dll") && !SameName(LName, "ssleay32.dll")) {
        return std::nullopt;
    }
    // The copy of whichever installer runs now: the window and the console
    // program need not live in one folder, and the recorded one is no source.
    return FExeDir.empty() ? std::string()
                           : Utf8FromPath(PathFromUtf8(FExeDir) / PathFromUtf8(LName));
}

} // namespace orvane
