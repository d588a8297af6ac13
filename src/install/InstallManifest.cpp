#include "install/InstallManifest.h"

#include "install/InstallJournal.h"
#include "install/InstallRoots.h"
#include "install/ZipReader.h"
#include "platform/DurableFile.h"
#include "platform/FileNames.h"
#include "platform/HeldFile.h"
#include "platform/Text.h"
#include "registry/DelphiLibrary.h"
#include "registry/ProductRecords.h"
#include "registry/RegistryData.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace fs = std::filesystem;

namespace orvane {

namespace {

// Far above what a package with the most files an IDE has leaves behind.
constexpr std::size_t KMaxManifestBytes = 256u << 20;

bool IsText(const TRegValue& AValue) {
    return AValue.Type == rtSz || AValue.Type == rtExpandSz;
}

std::string TextOf(const TRegValue& AValue) {
    return FromUtf16Le(AValue.Data, true);
}

const TRegValue* FindValue(const std::vector<TRegValue>& AValues, const std::string& AName) {
    const auto LFound = std::find_if(AValues.begin(), AValues.end(), [&](const TRegValue& AValue) {
        return SameName(AValue.Name, AName);
    });
    return LFound == AValues.end() ? nullptr : &*LFound;
}

} // namespace

std::vector<std::string> PathListItems(const std::string& AList) {
    std::vector<std::string> LItems;
    std::size_t LStart = 0;
    while (LStart <= AList.size()) {
        std::size_t LEnd = AList.find(';', LStart);
        if (LEnd == std::string::npos) {
            LEnd = AList.size();
        }
        std::string LItem = TrimControl(AList.substr(LStart, LEnd - LStart));
        if (!LItem.empty()) {
            LItems.push_back(std::move(LItem));
        }
        LStart = LEnd + 1;
    }
    return LItems;
}

std::string WithoutPathItem(const std::string& AList, const std::string& AItem) {
    std::string LResult;
    std::size_t LStart = 0;
    while (LStart < AList.size()) {
        std::size_t LEnd = AList.find(';', LStart);
        if (LEnd == std::string::npos) {
            LEnd = AList.size();
        }
        const std::string LEntry = AList.substr(LStart, LEnd - LStart);
        if (!SameName(TrimControl(LEntry), AItem)) {
            LResult += LEntry + (LEnd < AList.size() ? ";" : "");
        }
        LStart = LEnd + 1;
    }
    return LResult;
}

void RemoveManifestValues(TRegistryStore& AStore, const std::vector<TManifestValue>& AValues,
                          const std::vector<TBackupKey>& ACovered) {
    for (const TManifestValue& LValue : AValues) {
        if (std::none_of(ACovered.begin(), ACovered.end(),
                         [&](const TBackupKey& A) { return SameName(A.Key, LValue.Key); }) ||
            !AStore.KeyExists(LValue.Key)) {
            continue;
        }
        if (LValue.Item.empty()) {
            if (AStore.GetValue(LValue.Key, LValue.Name)) {
                AStore.DeleteValue(LValue.Key, LValue.Name);
            }
            continue;
        }
        const std::optional<TRegValue> LList = AStore.GetValue(LValue.Key, LValue.Name);
        if (!LList || !IsText(*LList)) {
            continue;
        }
        const std::string LOld = TextOf(*LList);
        std::string LNew = WithoutPathItem(LOld, LValue.Item);
        if (LNew == LOld) {
            continue;
        }
        // Nobody changed the list since the installation rewrote it: back to
        // the text it had before, byte for byte (its separators, and entries
        // of the installer's form that were the user's own).
        const std::string& LBefore = LValue.Data;
        if (!LBefore.empty() && LNew == CleanPathList(LBefore)) {
            LNew = LBefore;
        }
        if (!AStore.SetValue(LValue.Key, {LList->Name, LList->Type, ToUtf16Le(LNew, true)})) {
            throw std::runtime_error("Failed to set data for '" + LValue.Name + "'");
        }
    }
}

std::string TInstallManifest::Text() const {
    std::string LText = EncodeRecordLine(
        {"installation", {IDEVersion, FileVersion, VersionDir, PackagePath, PackageSha256}});
    for (const TManifestFile& LFile : Files) {
        LText += EncodeRecordLine({"file",
                                   {LFile.Path, std::to_string(LFile.Size), LFile.Sha256,
                                    LFile.SourceKind, LFile.Source}});
    }
    for (const TManifestValue& LValue : Values) {
        LText += EncodeRecordLine({"value", {LValue.Key, LValue.Name, LValue.Item, LValue.Data}});
    }
    return LText;
}

TInstallManifest TInstallManifest::Parse(const std::string& AText) {
    TInstallManifest LManifest;
    bool LHasHead = false;
    for (const TRecordLine& LLine : DecodeRecordLines(AText)) {
        const auto& F = LLine.Fields;
        if (LLine.Kind == "installation" && F.size() >= 5) {
            LManifest.IDEVersion = F[0];
            LManifest.FileVersion = F[1];
            LManifest.VersionDir = F[2];
            LManifest.PackagePath = F[3];
            LManifest.PackageSha256 = F[4];
            LHasHead = true;
        } else if (LLine.Kind == "file" && F.size() >= 5) {
            LManifest.Files.push_back({F[0], std::stoull(F[1]), F[2], F[3], F[4]});
        } else if (LLine.Kind == "value" && F.size() >= 4) {
            LManifest.Values.push_back({F[0], F[1], F[2], F[3]});
        }
    }
    if (!LHasHead) {
        throw std::runtime_error("not a manifest of an installation");
    }
    return LManifest;
}

TRegistrySnapshot SnapshotKeys(TRegistryStore& AStore, const std::vector<std::string>& AKeys) {
    TRegistrySnapshot LSnapshot;
    for (const std::string& LKey : AKeys) {
        LSnapshot[LKey] = AStore.KeyExists(LKey) ? AStore.Values(LKey) : std::vector<TRegValue>{};
    }
    return LSnapshot;
}

std::vector<TManifestValue> AddedValues(const TRegistrySnapshot& ABefore,
                                        const TRegistrySnapshot& AAfter,
                                        const std::string& AVersionDir,
                                        const std::vector<std::string>& AOwnValues) {
    const auto LOwnItem = [&AVersionDir](const std::string& AItem) {
        return !AVersionDir.empty() && AItem.size() >= AVersionDir.size() &&
               SameName(AItem.substr(0, AVersionDir.size()), AVersionDir);
    };
    std::vector<TManifestValue> LAdded;
    for (const auto& [LKey, LValues] : AAfter) {
        const auto LOld = ABefore.find(LKey);
        for (const TRegValue& LValue : LValues) {
            const TRegValue* LWas =
                LOld == ABefore.end() ? nullptr : FindValue(LOld->second, LValue.Name);
            if (LWas == nullptr ||
                std::any_of(AOwnValues.begin(), AOwnValues.end(),
                            [&](const std::string& A) { return SameName(A, LValue.Name); })) {
                LAdded.push_back({LKey, LValue.Name, "", IsText(LValue) ? TextOf(LValue) : ""});
                continue;
            }
            if (!IsText(LValue) || !IsText(*LWas)) {
                continue;
            }
            const std::vector<std::string> LOldItems = PathListItems(TextOf(*LWas));
            for (const std::string& LItem : PathListItems(TextOf(LValue))) {
                if (LOwnItem(LItem) ||
                    std::none_of(LOldItems.begin(), LOldItems.end(),
                                 [&](const std::string& A) { return SameName(A, LItem); })) {
                    // The list as it was, so that taking the item out again can
                    // give back the user's text exactly.
                    LAdded.push_back({LKey, LValue.Name, LItem, TextOf(*LWas)});
                }
            }
        }
    }
    return LAdded;
}

fs::path ManifestFileFor(const fs::path& ADataDir, const std::string& AIDEVersion) {
    const fs::path LFolder = ADataDir / "Manifests";
    fs::create_directories(LFolder);
    return FirstFreeFileName(LFolder, AIDEVersion, ".manifest");
}

void WriteManifest(const fs::path& AFile, const TInstallManifest& AManifest) {
    AppendDurably(AFile, AManifest.Text());
}

std::optional<TInstallManifest> ReadRecordManifest(TRegistryStore& AStore,
                                                   const std::string& AIDEVersion,
                                                   const fs::path& AManifestsFolder,
                                                   fs::path* AFile) {
    std::string LKey = RecordKey(AIDEVersion);
    while (!LKey.empty() && LKey.back() == '\\') {
        LKey.pop_back();
    }
    const std::optional<TRegValue> LValue = AStore.GetValue(LKey, KManifestValue);
    if (!LValue || !IsText(*LValue) || TextOf(*LValue).empty()) {
        return std::nullopt;
    }
    const std::string LText = TextOf(*LValue);
    const fs::path LNamed = PathFromUtf8(LText);
    const std::string LName = Utf8FromPath(LNamed.filename());
    const bool LInFolder =
        UnsafeFileNameReason(LText).empty() ||
        (LNamed.is_absolute() && SamePath(LNamed.parent_path(), AManifestsFolder));
    if (!LInFolder || !UnsafeFileNameReason(LName).empty() || LName.size() < 9 ||
        !SameName(LName.substr(LName.size() - 9), ".manifest")) {
        throw std::runtime_error("The record of IDE version " + AIDEVersion + " names " +
                                 Quoted(Visible(ShortenedText(LText, KShownValueBytes))) +
                                 " as its manifest, which is not a manifest in " +
                                 Quoted(Utf8FromPath(AManifestsFolder)));
    }
    const fs::path LFile = AManifestsFolder / PathFromUtf8(LName);
    if (AFile) {
        *AFile = LFile;
    }
    TInstallManifest LManifest;
    std::string LBytes;
    try {
        LBytes = ReadHeldFile(Utf8FromPath(LFile), KMaxManifestBytes);
    } catch (const std::exception& AError) {
        throw std::runtime_error("The manifest \"" + Utf8FromPath(LFile) + "\" of IDE version " +
                                 AIDEVersion + " cannot be read (" + AError.what() + ")");
    }
    try {
        LManifest = TInstallManifest::Parse(LBytes);
    } catch (const std::exception& AError) {
        throw std::runtime_error("The manifest \"" + Utf8FromPath(LFile) + "\" of IDE version " +
                                 AIDEVersion + ": " + AError.what());
    }
    if (!SameName(LManifest.IDEVersion, AIDEVersion)) {
        throw std::runtime_error("The manifest \"" + Utf8FromPath(LFile) + "\" of IDE version " +
                                 AIDEVersion + " is one of IDE version " +
                                 Quoted(Visible(ShortenedText(LManifest.IDEVersion, 40))));
    }
    return LManifest;
}

std::vector<std::string> ConfineManifest(TInstallManifest& AManifest, const TInstallRoots& ARoots) {
    std::vector<std::string> LRefused;
    const std::string LWhose = " (manifest of " + ARoots.IDEVersion() + ")";
    if (!AManifest.VersionDir.empty()) {
        if (const std::string LWhy =
                VersionFolderRefusal(AManifest.VersionDir, ARoots.IDEVersion());
            !LWhy.empty()) {
            LRefused.push_back("the package folder " + LWhy + LWhose);
            AManifest.VersionDir.clear();
        }
    }
    // The package lies beside its extracted folder, in the download folder.
    if (!AManifest.PackagePath.empty()) {
        const fs::path LPackage = PathFromUtf8(AManifest.PackagePath);
        const std::string LName = Utf8FromPath(LPackage.filename());
        const fs::path LFolder = PathFromUtf8(AManifest.VersionDir);
        if (AManifest.VersionDir.empty() || !UnsafeFileNameReason(LName).empty() ||
            LName.size() < 4 || !SameName(LName.substr(LName.size() - 4), ".zip") ||
            !SamePath(LPackage.parent_path(),
                      (LFolder.has_filename() ? LFolder : LFolder.parent_path()).parent_path())) {
            LRefused.push_back("the package " +
                               Quoted(Visible(ShortenedText(AManifest.PackagePath, 200))) +
                               ", which is not beside the version's folder" + LWhose);
            AManifest.PackagePath.clear();
        }
    }
    std::vector<TManifestFile> LFiles;
    for (TManifestFile& LFile : AManifest.Files) {
        if (const std::string LWhy = ARoots.FileRefusal(LFile.Path); !LWhy.empty()) {
            LRefused.push_back("the file " + LWhy + LWhose);
            continue;
        }
        std::optional<std::string> LOwnSource;
        if (LFile.SourceKind != "zip") {
            LOwnSource = ARoots.OwnCopySource(LFile.Source);
        }
        if (LOwnSource) {
            LFile.Source = *LOwnSource;
        } else if (LFile.SourceKind != "zip" || !UnsafeEntryReason(LFile.Source).empty()) {
            LRefused.push_back("the source " + Quoted(Visible(ShortenedText(LFile.Source, 200))) +
                               " of " + Quoted(LFile.Path) + LWhose);
            LFile.SourceKind.clear();
            LFile.Source.clear();
        }
        LFiles.push_back(std::move(LFile));
    }
    AManifest.Files = std::move(LFiles);
    std::vector<TManifestValue> LValues;
    for (TManifestValue& LValue : AManifest.Values) {
        if (const std::string LWhy = ARoots.KeyRefusal(LValue.Key, false); !LWhy.empty()) {
            LRefused.push_back(LWhy + LWhose);
            continue;
        }
        LValues.push_back(std::move(LValue));
    }
    AManifest.Values = std::move(LValues);
    return LRefused;
}

} // namespace orvane
