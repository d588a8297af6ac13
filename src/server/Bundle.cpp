#include "server/Bundle.h"

#include "platform/FileNames.h"
#include "platform/HeldFile.h"
#include "platform/SystemFolders.h"
#include "platform/Text.h"
#include "server/HttpClient.h"
#include "server/Protocol.h"
#include "server/Sha256.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <stdexcept>
#include <utility>

namespace orvane {

namespace {

std::string RequireText(const rapidjson::Value& AObject, const char* AName,
                        const std::string& AWhere) {
    if (!AObject.HasMember(AName) || !AObject[AName].IsString()) {
        throw std::runtime_error(AWhere + " has no text \"" + AName + "\"");
    }
    return std::string(AObject[AName].GetString(), AObject[AName].GetStringLength());
}

std::string JoinLocation(const std::string& ALocation, bool AWeb, const std::string& AName) {
    if (AWeb) {
        return ALocation + (ALocation.ends_with("/") ? "" : "/") + AName;
    }
    const bool LEndsWithSeparator = ALocation.ends_with("/") || ALocation.ends_with("\\");
    return ALocation + (LEndsWithSeparator ? "" : std::string(1, PathDelimiter())) + AName;
}

} // namespace

const TBundlePackage* TBundle::Find(const std::string& AFile) const {
    for (const TBundlePackage& LPackage : Packages) {
        if (LPackage.File == AFile) {
            return &LPackage;
        }
    }
    return nullptr;
}

const TBundlePackage* TBundle::ForVersion(const std::string& AIDEVersion) const {
    const TBundlePackage* Result = nullptr;
    for (const TBundlePackage& LPackage : Packages) {
        if (LPackage.IDEVersion == AIDEVersion) {
            Result = &LPackage;
        }
    }
    return Result;
}

const char* EditionName(TUserMode AMode) {
    return AMode == imCommercial ? "commercial" : "developer";
}

bool IsBundleDate(const std::string& AText) {
    // "yyyy-mm-ddThh:nn:ssZ"
    static const std::string KForm = "dddd-dd-ddTdd:dd:ddZ";
    if (AText.size() != KForm.size()) {
        return false;
    }
    for (std::size_t LIndex = 0; LIndex < KForm.size(); ++LIndex) {
        const bool LDigit = AText[LIndex] >= '0' && AText[LIndex] <= '9';
        if (KForm[LIndex] == 'd' ? !LDigit : AText[LIndex] != KForm[LIndex]) {
            return false;
        }
    }
    return true;
}

std::string BundleText(const TBundle& ABundle) {
    rapidjson::StringBuffer LBuffer;
    rapidjson::Writer<rapidjson::StringBuffer> LWriter(LBuffer);
    LWriter.StartObject();
    LWriter.Key("format");
    LWriter.Int(ABundle.FormatVersion);
    LWriter.Key("edition");
    LWriter.String(EditionName(ABundle.Edition));
    LWriter.Key("created");
    LWriter.String(ABundle.Created.c_str());
    LWriter.Key("packages");
    LWriter.StartArray();
    for (const TBundlePackage& LPackage : ABundle.Packages) {
        LWriter.StartObject();
        LWriter.Key("version");
        LWriter.String(LPackage.IDEVersion.c_str());
        LWriter.Key("file");
        LWriter.String(LPackage.File.c_str());
        LWriter.Key("size");
        LWriter.Uint64(LPackage.Size);
        LWriter.Key("sha256");
        LWriter.String(LPackage.Sha256.c_str());
        LWriter.Key("sha256_source");
        LWriter.String(LPackage.Sha256FromServer ? "server" : "computed");
        LWriter.EndObject();
    }
    LWriter.EndArray();
    for (const auto& [LKey, LList] :
         {std::pair{"offered", &ABundle.Offered}, std::pair{"missing", &ABundle.Missing}}) {
        LWriter.Key(LKey);
        LWriter.StartArray();
        for (const std::string& LVersion : *LList) {
            LWriter.String(LVersion.c_str());
        }
        LWriter.EndArray();
    }
    LWriter.Key("complete");
    LWriter.Bool(ABundle.Complete());
    LWriter.EndObject();
    return std::string(LBuffer.GetString(), LBuffer.GetSize()) + "\n";
}

TBundle ParseBundle(const std::string& AText) {
    const std::unique_ptr<rapidjson::Document> LDocument = ParseAnswer(AText);
    if (!LDocument || !LDocument->IsObject()) {
        throw std::runtime_error(std::string(KBundleFileName) + " is not a JSON object");
    }
    const rapidjson::Value& LRoot = *LDocument;
    TBundle Result;
    // Numbers are kept as written.
    if (ReadMemberText(LRoot, "format") != std::to_string(KBundleFormatVersion)) {
        throw std::runtime_error(std::string(KBundleFileName) +
                                 " is of a format this installer "
                                 "does not read (format " +
                                 std::to_string(KBundleFormatVersion) + " expected)");
    }
    const std::string LEdition = RequireText(LRoot, "edition", KBundleFileName);
    if (LEdition != "developer" && LEdition != "commercial") {
        throw std::runtime_error(std::string(KBundleFileName) + " names an unknown edition");
    }
    Result.Edition = LEdition == "commercial" ? imCommercial : imDeveloper;
    Result.Created = RequireText(LRoot, "created", KBundleFileName);
    // It reaches the log and the record: a date as this installer writes it, nothing else.
    if (!IsBundleDate(Result.Created)) {
        throw std::runtime_error(std::string(KBundleFileName) +
                                 "'s \"created\" is not a date such as 2026-12-01T08:30:00Z");
    }
    for (const auto& [LKey, LList] :
         {std::pair{"offered", &Result.Offered}, std::pair{"missing", &Result.Missing}}) {
        if (!LRoot.HasMember(LKey)) {
            continue;
        }
        if (!LRoot[LKey].IsArray()) {
            throw std::runtime_error(std::string(KBundleFileName) + "'s \"" + LKey +
                                     "\" is not a list of IDE versions");
        }
        for (const rapidjson::Value& LItem : LRoot[LKey].GetArray()) {
            if (!LItem.IsString() || !IsIdeVersionText(LItem.GetString())) {
                throw std::runtime_error(std::string(KBundleFileName) + "'s \"" + LKey +
                                         "\" is not a list of IDE versions");
            }
            LList->push_back(LItem.GetString());
        }
    }
    if (!LRoot.HasMember("packages") || !LRoot["packages"].IsArray()) {
        throw std::runtime_error(std::string(KBundleFileName) + " lists no packages");
    }
    for (const rapidjson::Value& LItem : LRoot["packages"].GetArray()) {
        if (!LItem.IsObject()) {
            throw std::runtime_error(std::string(KBundleFileName) + ": a package is not an object");
        }
        TBundlePackage LPackage;
        LPackage.File = RequireText(LItem, "file", "A package of the bundle");
        const std::string LWhere = "The bundle's package \"" + SafeFileName(LPackage.File) + "\"";
        if (const std::string LReason = UnsafeFileNameReason(LPackage.File); !LReason.empty()) {
            throw std::runtime_error(LWhere + " cannot be a file name: " + LReason);
        }
        LPackage.IDEVersion = RequireText(LItem, "version", LWhere);
        if (!IsIdeVersionText(LPackage.IDEVersion)) {
            throw std::runtime_error(LWhere + " names no IDE version");
        }
        const std::string LSize = ReadMemberText(LItem, "size").value_or("");
        if (LSize.empty() || LSize.size() > 19 ||
            LSize.find_first_not_of("0123456789") != std::string::npos) {
            throw std::runtime_error(LWhere + " has no size");
        }
        LPackage.Size = std::stoull(LSize);
        const std::optional<std::string> LDigest =
            NormalizedSha256(RequireText(LItem, "sha256", LWhere));
        if (!LDigest) {
            throw std::runtime_error(LWhere + " has no valid SHA-256");
        }
        LPackage.Sha256 = *LDigest;
        LPackage.Sha256FromServer = LItem.HasMember("sha256_source") &&
                                    LItem["sha256_source"].IsString() &&
                                    std::string(LItem["sha256_source"].GetString()) == "server";
        Result.Packages.push_back(std::move(LPackage));
    }
    return Result;
}

bool IsWebLocation(const std::string& ALocation) {
    return ALocation.rfind("http://", 0) == 0 || ALocation.rfind("https://", 0) == 0;
}

std::string TBundleSource::PackageLocation(const TBundlePackage& APackage) const {
    return JoinLocation(Location, Web, APackage.File);
}

std::string TBundleSource::Description() const {
    return "the bundle " + Location + " (" + EditionName(Bundle.Edition) + " edition, made " +
           Bundle.Created + ")";
}

TBundleSource LoadBundle(const std::string& ALocation) {
    TBundleSource Result;
    Result.Location = ALocation;
    Result.Web = IsWebLocation(ALocation);
    const auto LRead = [&Result](const std::string& AName, std::size_t AMaxBytes) {
        const std::string LWhere = JoinLocation(Result.Location, Result.Web, AName);
        // A pipe or a device put in the bundle's place is refused at once,
        // not waited on.
        if (!Result.Web) {
            return ReadHeldFile(LWhere, AMaxBytes);
        }
        THttpClient LClient;
        try {
            return LClient.GetText(LWhere, AMaxBytes);
        } catch (const THttpError& AError) {
            throw std::runtime_error("Cannot read " + LWhere + ": " + AError.what());
        }
    };
    Result.Bundle = ParseBundle(LRead(KBundleFileName, KMaxBundleFileBytes));
    Result.Configuration = LRead(KBundleConfigurationName, KMaxConfigurationBytes);
    return Result;
}

} // namespace orvane
