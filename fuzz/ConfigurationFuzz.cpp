// The configuration document: parsed, listed as the Versions page lists it, and
// every entry read the way an installation reads it.
#include "FuzzSupport.h"

#include "install/PackageRules.h"
#include "platform/FileNames.h"
#include "server/ConfigurationList.h"
#include "server/Protocol.h"

#include <filesystem>
#include <stdexcept>
#include <vector>

namespace {

using orvane::ReadMemberText;
using orvane::ReadMemberTextOrEmpty;

// A name from the server becomes a file name only through the name check; the
// check and the sanitiser must agree, and a name that passes stays one plain
// name inside its folder. AEntryUsable: the installation's entry check let the
// entry through, so this name must pass.
void CheckName(const std::string& AName, bool AEntryUsable) {
    if (AEntryUsable && !orvane::UnsafeFileNameReason(AName).empty()) {
        orvane::fuzz::Violated("an entry passed with the unusable name \"" + AName + "\"");
    }
    const std::string LSafe = orvane::SafeFileName(AName);
    if (!orvane::UnsafeFileNameReason(LSafe).empty()) {
        orvane::fuzz::Violated("the sanitised name \"" + LSafe +
                               "\" is still unsafe: " + orvane::UnsafeFileNameReason(LSafe));
    }
    if (orvane::UnsafeFileNameReason(AName).empty()) {
        if (LSafe != AName) {
            orvane::fuzz::Violated("the sanitiser changed the safe name \"" + AName + "\"");
        }
        const std::filesystem::path LPath = orvane::PathFromUtf8(AName);
        if (LPath.has_parent_path() || LPath.filename() != LPath || LPath == "..") {
            orvane::fuzz::Violated("the safe name \"" + AName + "\" is more than a file name");
        }
    }
}

// The member reads and rules of one installation, without the files and the
// registry.
void ReadLikeAnInstallation(const rapidjson::Value& AEntry, orvane::TUserMode AMode) {
    (void)orvane::PackageEndpoint(AEntry);
    const std::string LFile = ReadMemberTextOrEmpty(AEntry, "file");
    const std::string LVersion = ReadMemberText(AEntry, "version").value_or("0.0");
    const std::string LFileVersion =
        orvane::PackageFileVersion(ReadMemberText(AEntry, "file_version"), LFile);
    const bool LUsable = orvane::UnusableEntryName(AEntry).empty();
    if (LUsable && !orvane::IsIdeVersionText(LVersion)) {
        orvane::fuzz::Violated("an entry passed with the version \"" + LVersion + "\"");
    }
    CheckName(orvane::PackageFileName(LFile, LVersion, LFileVersion), LUsable);
    CheckName(LVersion, false);
    (void)orvane::PackageType(ReadMemberTextOrEmpty(AEntry, "name"), AMode);
    (void)orvane::LicenseWord(AMode);
    (void)orvane::CompareVersions(LFileVersion, ReadMemberTextOrEmpty(AEntry, "base_url"));
    const auto LPlatforms = ReadMemberText(AEntry, "platforms");
    const auto LBpls = ReadMemberText(AEntry, "bpls");
    const auto LDcps = ReadMemberText(AEntry, "dcps");
    if (!LPlatforms || !LBpls || !LDcps) {
        return;
    }
    const auto LPlatformNames = orvane::SplitCommaList(*LPlatforms);
    for (const std::string* LList : {&*LBpls, &*LDcps}) {
        for (const std::string& LFileName : orvane::CommaListNames(*LList)) {
            for (const std::string& LPlatform : LPlatformNames) {
                (void)orvane::PlatformFolder("C:\\Common\\", "Bpl", LPlatform, '\\');
                (void)orvane::ReleaseEntryName(LPlatform, LFileName);
            }
            CheckName(LFileName, LUsable);
        }
    }
    for (const std::string& LPlatform : orvane::CommaListNames(*LPlatforms)) {
        CheckName(LPlatform, LUsable);
    }
    for (const std::string& LDll : orvane::CommaListNames(ReadMemberTextOrEmpty(AEntry, "dlls"))) {
        CheckName(LDll.substr(LDll.find_last_of("/\\") + 1), LUsable);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string LBytes(reinterpret_cast<const char*>(AData), ASize);
    auto LDocument = orvane::ParseAnswer(LBytes);
    if (!LDocument) {
        return 0;
    }
    std::vector<const rapidjson::Value*> LEntries;
    orvane::TListCounts LCounts;
    bool LComplete = true;
    try {
        LCounts =
            orvane::ListConfigurationEntries(*LDocument, [&](const orvane::TListedEntry& AEntry) {
                LEntries.push_back(AEntry.Entry);
            });
    } catch (const std::runtime_error&) {
        LComplete = false;
    }
    if (LComplete && static_cast<std::size_t>(LCounts.Listed) != LEntries.size()) {
        orvane::fuzz::Violated("the label counts other entries than the list shows");
    }
    for (const rapidjson::Value* LEntry : LEntries) {
        if (!ReadMemberText(*LEntry, "name")) {
            orvane::fuzz::Violated("a listed entry has no name");
        }
        ReadLikeAnInstallation(*LEntry, orvane::imDeveloper);
        ReadLikeAnInstallation(*LEntry, orvane::imCommercial);
    }
    return 0;
}
