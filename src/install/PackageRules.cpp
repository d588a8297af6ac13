#include "install/PackageRules.h"

#include "platform/FileNames.h"
#include "platform/Text.h"
#include "server/Protocol.h"
#include "server/Sha256.h"

#include <algorithm>
#include <cctype>

namespace orvane {

namespace {

bool IsNumber(const std::string& AText) {
    return !AText.empty() &&
           std::all_of(AText.begin(), AText.end(), [](char C) { return C >= '0' && C <= '9'; });
}

std::vector<std::string> SplitAt(const std::string& AText, char ASeparator) {
    std::vector<std::string> LResult(1);
    for (char LChar : AText) {
        if (LChar == ASeparator) {
            LResult.emplace_back();
        } else {
            LResult.back() += LChar;
        }
    }
    return LResult;
}

std::string Unusable(const std::string& AMember, const std::string& AValue,
                     const std::string& AReason) {
    return "Unusable \"" + AMember + "\" in the package entry: \"" +
           Visible(ShortenedText(AValue, KShownValueBytes)) + "\" (" + AReason + ")";
}

int CompareNumbers(const std::string& ALeft, const std::string& ARight) {
    const std::string LLeft = ALeft.substr(std::min(ALeft.find_first_not_of('0'), ALeft.size()));
    const std::string LRight =
        ARight.substr(std::min(ARight.find_first_not_of('0'), ARight.size()));
    if (LLeft.size() != LRight.size()) {
        return LLeft.size() < LRight.size() ? -1 : 1;
    }
    return LLeft.compare(LRight);
}

// The kind of file a name is taken for: the package must be a zip and further
// DLLs DLLs, or a server could have the installer replace a backup it wrote or
// the IDE's own executable.
bool HasExtension(const std::string& AName, const std::string& AExtension) {
    if (AName.size() <= AExtension.size()) {
        return false;
    }
    const std::string LTail = AName.substr(AName.size() - AExtension.size());
    return std::equal(LTail.begin(), LTail.end(), AExtension.begin(), [](char ALeft, char ARight) {
        return std::tolower(static_cast<unsigned char>(ALeft)) == ARight;
    });
}

} // namespace

std::string PackageFileVersion(const std::optional<std::string>& AFileVersion,
                               const std::string& AFile) {
    if (AFileVersion) {
        return *AFileVersion;
    }
    return AFile.empty() ? "0.0.0.0" : FileVersionFromFile(AFile);
}

std::string PackageFileName(const std::string& AFile, const std::string& AVersion,
                            const std::string& AFileVersion) {
    if (AFile == "latest") {
        return "Orvane_" + AVersion + "_" + AFileVersion + ".zip";
    }
    return AFile;
}

std::string PackageType(const std::string& AName, TUserMode AMode) {
    if (AName.find("GAMEPACKAGE") != std::string::npos) {
        return "GAMEPACKAGE";
    }
    if (AName.find("BASICPACKAGE") != std::string::npos) {
        return "BASIC";
    }
    return AMode == imDeveloper ? "DEVELOPER" : "";
}

std::string LicenseWord(TUserMode AMode) {
    return AMode == imDeveloper ? "DEVELOPER" : "COMMERCIAL";
}

std::vector<std::string> SplitCommaList(const std::string& AText) {
    if (AText.empty()) {
        return {};
    }
    return SplitAt(AText, ',');
}

std::vector<std::string> CommaListNames(const std::string& AText) {
    std::vector<std::string> LResult;
    for (const std::string& LItem : SplitCommaList(AText)) {
        std::string LName = TrimControl(LItem);
        if (!LName.empty()) {
            LResult.push_back(std::move(LName));
        }
    }
    return LResult;
}

int CompareVersions(const std::string& ALeft, const std::string& ARight) {
    const std::vector<std::string> LLeft = SplitAt(ALeft, '.');
    const std::vector<std::string> LRight = SplitAt(ARight, '.');
    const std::size_t LCount = std::max(LLeft.size(), LRight.size());
    for (std::size_t LIndex = 0; LIndex < LCount; ++LIndex) {
        const std::string LA = LIndex < LLeft.size() ? LLeft[LIndex] : "0";
        const std::string LB = LIndex < LRight.size() ? LRight[LIndex] : "0";
        const int LResult = IsNumber(LA) && IsNumber(LB) ? CompareNumbers(LA, LB) : LA.compare(LB);
        if (LResult != 0) {
            return LResult < 0 ? -1 : 1;
        }
    }
    return 0;
}

std::string PlatformFolder(const std::string& ACommonDir, const std::string& AKind,
                           const std::string& APlatform, char ASeparator) {
    std::string LResult = ACommonDir + AKind + ASeparator;
    if (APlatform != "Win32") {
        LResult += APlatform + ASeparator;
    }
    return LResult;
}

std::string ReleaseEntryName(const std::string& APlatform, const std::string& AFileName) {
    return APlatform + "/Release/" + AFileName;
}

bool ReadExpectedSha256(const rapidjson::Value& AEntry, std::optional<std::string>& ADigest,
                        std::string& AError) {
    ADigest.reset();
    if (!AEntry.IsObject() || !AEntry.HasMember("sha256")) {
        return true;
    }
    const std::optional<std::string> LText = ReadMemberText(AEntry, "sha256");
    if (LText) {
        ADigest = NormalizedSha256(*LText);
    }
    if (!ADigest) {
        std::string LShown = LText ? *LText : std::string("(not text)");
        AError = "The package entry's \"sha256\" is not 64 hexadecimal digits: \"" +
                 Visible(ShortenedText(LShown, KShownValueBytes)) + "\"";
        return false;
    }
    return true;
}

std::string UnusableEntryName(const rapidjson::Value& AEntry) {
    const std::string LVersion = ReadMemberText(AEntry, "version").value_or("0.0");
    if (!IsIdeVersionText(LVersion)) {
        return Unusable("version", LVersion, "not an IDE version such as 22.0");
    }
    const std::string LFile = ReadMemberTextOrEmpty(AEntry, "file");
    const std::string LFileName = PackageFileName(
        LFile, LVersion, PackageFileVersion(ReadMemberText(AEntry, "file_version"), LFile));
    if (const std::string LReason = UnsafeFileNameReason(LFileName); !LReason.empty()) {
        // "latest" is safe itself; the name made from it carries "file_version".
        return LFile == "latest" ? Unusable("file_version", LFileName, LReason)
                                 : Unusable("file", LFile, LReason);
    }
    if (!HasExtension(LFileName, ".zip")) {
        return Unusable("file", LFile, "not a .zip file name");
    }
    for (const char* LMember : {"bpls", "dcps", "platforms", "dlls"}) {
        const std::vector<std::string> LNames =
            CommaListNames(ReadMemberTextOrEmpty(AEntry, LMember));
        // Files are copied per name and platform: both counts stay at what an IDE has.
        const std::size_t LLimit =
            std::string(LMember) == "platforms" ? KMaxPlatforms : KMaxNamesPerList;
        if (LNames.size() > LLimit) {
            return "The package entry lists " + std::to_string(LNames.size()) + " names in \"" +
                   LMember + "\", more than an IDE can have (at most " + std::to_string(LLimit) +
                   ")";
        }
        for (const std::string& LName : LNames) {
            const std::string LWritten =
                std::string(LMember) == "dlls" ? FileNamePart(LName) : LName;
            if (const std::string LReason = UnsafeFileNameReason(LWritten); !LReason.empty()) {
                return Unusable(LMember, LName, LReason);
            }
            if (std::string(LMember) == "dlls" && !HasExtension(LWritten, ".dll")) {
                return Unusable(LMember, LName, "not a .dll file name");
            }
        }
    }
    return {};
}

} // namespace orvane
