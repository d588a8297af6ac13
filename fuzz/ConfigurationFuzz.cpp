// The configuration document: parsed, listed as the Versions page lists it, and
// every entry read the way an installation reads it.
#include "FuzzSupport.h"

#include "install/PackageRules.h"
#include "server/ConfigurationList.h"
#include "server/Protocol.h"

#include <stdexcept>
#include <vector>

namespace {

using orvane::ReadMemberText;
using orvane::ReadMemberTextOrEmpty;

// The member reads and rules of one installation, without the files and the
// registry.
void ReadLikeAnInstallation(const rapidjson::Value& AEntry, orvane::TUserMode AMode) {
    (void)orvane::PackageEndpoint(AEntry);
    const std::string LFile = ReadMemberTextOrEmpty(AEntry, "file");
    const std::string LVersion = ReadMemberText(AEntry, "version").value_or("0.0");
    const std::string LFileVersion =
        orvane::PackageFileVersion(ReadMemberText(AEntry, "file_version"), LFile);
    (void)orvane::PackageFileName(LFile, LVersion, LFileVersion);
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
        }
    }
    (void)orvane::CommaListNames(ReadMemberTextOrEmpty(AEntry, "dlls"));
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
