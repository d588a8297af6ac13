#include "install/PackageSpace.h"

#include "install/PackageRules.h"
#include "platform/FileNames.h"
#include "platform/SystemFolders.h"
#include "server/Protocol.h"

namespace orvane {

std::vector<TSpaceNeed> PackageSpaceNeeds(const TZipReader& AZip, const rapidjson::Value& AEntry,
                                          const std::string& AVersionDir,
                                          const std::string& ACommonDir,
                                          const std::string& ABinDir) {
    AZip.CheckDeclaredSizes();
    std::vector<TSpaceNeed> LNeeds{{AVersionDir, AZip.TotalDeclaredSize()}};
    const auto LSizeOf = [&AZip](const std::string& AName) -> std::uint64_t {
        const std::int64_t LIndex = AZip.IndexOf(AName);
        return LIndex < 0 ? 0 : AZip.DeclaredSize(LIndex);
    };
    const std::vector<std::string> LPlatforms =
        CommaListNames(ReadMemberTextOrEmpty(AEntry, "platforms"));
    for (const auto& [LMember, LKind] : {std::pair{"bpls", "Bpl"}, std::pair{"dcps", "Dcp"}}) {
        for (const std::string& LName : CommaListNames(ReadMemberTextOrEmpty(AEntry, LMember))) {
            for (const std::string& LPlatform : LPlatforms) {
                LNeeds.push_back({PlatformFolder(ACommonDir, LKind, LPlatform, PathDelimiter()),
                                  LSizeOf(ReleaseEntryName(LPlatform, LName))});
            }
        }
    }
    for (const std::string& LDll : CommaListNames(ReadMemberTextOrEmpty(AEntry, "dlls"))) {
        LNeeds.push_back({ABinDir, LSizeOf(LDll)});
    }
    return LNeeds;
}

} // namespace orvane
