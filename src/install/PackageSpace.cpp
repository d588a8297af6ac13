#include "install/PackageSpace.h"

#include "install/PackageRules.h"
#include "platform/FileNames.h"
#include "platform/SystemFolders.h"
#include "server/Protocol.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <system_error>
#include <unordered_map>

namespace orvane {

std::vector<TSpaceNeed> PackageSpaceNeeds(TZipReader& AZip, const rapidjson::Value& AEntry,
                                          const std::string& AVersionDir,
                                          const std::string& ACommonDir,
                                          const std::string& ABinDir) {
    AZip.CheckArchive();
    // Every file takes whole clusters of its drive, and one more for its entry.
    std::unordered_map<std::string, std::uint64_t> LUnits;
    const auto LAllocated = [&LUnits](const std::string& AFolder, std::uint64_t ABytes) {
        auto LUnit = LUnits.find(AFolder);
        if (LUnit == LUnits.end()) {
            LUnit = LUnits.emplace(AFolder, AllocationUnit(AFolder)).first;
        }
        return AllocatedSize(ABytes, LUnit->second);
    };
    std::uint64_t LExtracted = 0;
    for (std::int64_t LIndex = 0; LIndex < AZip.Count(); ++LIndex) {
        LExtracted += LAllocated(AVersionDir, AZip.DeclaredSize(LIndex));
    }
    // One need per folder, so the free-space check asks each folder once.
    std::vector<TSpaceNeed> LNeeds{{AVersionDir, LExtracted}};
    std::unordered_map<std::string, std::size_t> LAt{{AVersionDir, 0}};
    const auto LAdd = [&LNeeds, &LAt, &LAllocated](const std::string& AFolder,
                                                   std::optional<std::uint64_t> ASize) {
        const std::uint64_t LBytes = ASize ? LAllocated(AFolder, *ASize) : 0;
        const auto [LFound, LNew] = LAt.emplace(AFolder, LNeeds.size());
        if (LNew) {
            LNeeds.push_back({AFolder, LBytes});
        } else {
            LNeeds[LFound->second].Bytes += LBytes;
        }
    };
    // A listed file the zip lacks is not written at all.
    const auto LSizeOf = [&AZip](const std::string& AName) -> std::optional<std::uint64_t> {
        const std::int64_t LIndex = AZip.IndexOf(AName);
        return LIndex < 0 ? std::nullopt : std::optional<std::uint64_t>(AZip.DeclaredSize(LIndex));
    };
    const std::vector<std::string> LPlatforms =
        CommaListNames(ReadMemberTextOrEmpty(AEntry, "platforms"));
    for (const auto& [LMember, LKind] : {std::pair{"bpls", "Bpl"}, std::pair{"dcps", "Dcp"}}) {
        for (const std::string& LName : CommaListNames(ReadMemberTextOrEmpty(AEntry, LMember))) {
            for (const std::string& LPlatform : LPlatforms) {
                LAdd(PlatformFolder(ACommonDir, LKind, LPlatform, PathDelimiter()),
                     LSizeOf(ReleaseEntryName(LPlatform, LName)));
            }
        }
    }
    for (const std::string& LDll : CommaListNames(ReadMemberTextOrEmpty(AEntry, "dlls"))) {
        LAdd(ABinDir, LSizeOf(LDll));
    }
    return LNeeds;
}

namespace {

std::atomic<std::uint64_t> GPackageCap{TZipReader::KMaxTotalSize + KDownloadMargin};

} // namespace

TDownloadLimit PackageDownloadLimit(const std::string& ADownloadDir, std::uint64_t AReserved) {
    TDownloadLimit Result{GPackageCap.load(), "the most a package can be"};
    const std::optional<std::uint64_t> LAvailable = AvailableSpace(ADownloadDir);
    const std::uint64_t LKept = KDownloadMargin + std::min(AReserved, UINT64_MAX - KDownloadMargin);
    if (LAvailable && *LAvailable < Result.Bytes + LKept) {
        Result.Bytes = *LAvailable > LKept ? *LAvailable - LKept : 1;
        Result.ByReserved = AReserved != 0;
        Result.Reason = "the free space of the download folder's drive, less " +
                        FormatByteSize(KDownloadMargin) +
                        (AReserved == 0 ? std::string()
                                        : " and the " + FormatByteSize(AReserved) +
                                              " the version before it still writes there");
    }
    return Result;
}

std::uint64_t SetPackageDownloadCap(std::uint64_t ABytes) {
    return GPackageCap.exchange(ABytes);
}

} // namespace orvane
