// The engine's check of recorded installations against their manifests, and
// the repair of what it finds.
#include "install/InstallEngine.h"

#include "install/FileOperations.h"
#include "install/InstallManifest.h"
#include "install/InstallRoots.h"
#include "install/PackageRules.h"
#include "install/ZipReader.h"
#include "platform/FileNames.h"
#include "platform/HeldFile.h"
#include "platform/NewFile.h"
#include "platform/SystemFolders.h"
#include "registry/IDEKeys.h"
#include "registry/IDELocations.h"
#include "registry/ProductRecords.h"
#include "registry/X64Packages.h"
#include "server/Sha256.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <stdexcept>

namespace fs = std::filesystem;

namespace orvane {

namespace {

std::string FileNameOf(const std::string& APath) {
    const std::size_t LSlash = APath.find_last_of("/\\");
    return LSlash == std::string::npos ? APath : APath.substr(LSlash + 1);
}

std::string NoTrailingBackslash(std::string AKey) {
    while (!AKey.empty() && AKey.back() == '\\') {
        AKey.pop_back();
    }
    return AKey;
}

bool IsPackageList(const std::string& AKey) {
    for (const std::string& LList : {std::string("Known Packages"), KKnownPackagesX64}) {
        if (AKey.size() >= LList.size() &&
            SameName(AKey.substr(AKey.size() - LList.size()), LList)) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> TextValue(TRegistryStore& AStore, const std::string& AKey,
                                     const std::string& AName) {
    const std::optional<TRegValue> LValue = AStore.GetValue(AKey, AName);
    if (!LValue || (LValue->Type != rtSz && LValue->Type != rtExpandSz)) {
        return std::nullopt;
    }
    return FromUtf16Le(LValue->Data, true);
}

void CheckInstallation(TRegistryStore& AStore, const std::string& AIDEVersion,
                       const TInstallManifest& AManifest, std::vector<TVerifyProblem>& AProblems) {
    const auto LAdd = [&](TVerifyProblem::TKind AKind, const std::string& AText,
                          const std::string& APath, const std::string& AKey = {},
                          const std::string& AName = {}) {
        AProblems.push_back({AKind, AIDEVersion, AIDEVersion + ": " + AText, APath, AKey, AName});
    };
    if (!AManifest.VersionDir.empty() && !DirectoryExists(AManifest.VersionDir)) {
        LAdd(TVerifyProblem::vkFolderMissing,
             "missing package folder \"" + AManifest.VersionDir +
                 "\" (its search paths point at it)",
             AManifest.VersionDir);
    }
    for (const TManifestFile& LFile : AManifest.Files) {
        if (!fs::is_regular_file(PathFromUtf8(LFile.Path))) {
            LAdd(TVerifyProblem::vkFileMissing, "missing file \"" + LFile.Path + "\"", LFile.Path);
        } else if (const std::string LFound = Sha256OfFile(LFile.Path); LFound != LFile.Sha256) {
            LAdd(TVerifyProblem::vkFileChanged,
                 "changed file \"" + LFile.Path + "\" (SHA-256 " + LFound + ", installed " +
                     LFile.Sha256 + ")",
                 LFile.Path);
        }
    }
    std::vector<std::string> LOwnPackages;
    for (const TManifestValue& LValue : AManifest.Values) {
        const std::string LWhere = "HKEY_CURRENT_USER\\" + LValue.Key;
        const bool LPresent =
            AStore.KeyExists(LValue.Key) && AStore.GetValue(LValue.Key, LValue.Name);
        if (LValue.Item.empty()) {
            if (!LPresent) {
                LAdd(TVerifyProblem::vkValueMissing,
                     "missing registry value \"" + LValue.Name + "\" in " + LWhere, {}, LValue.Key,
                     LValue.Name);
            } else if (IsPackageList(LValue.Key) &&
                       !fs::is_regular_file(PathFromUtf8(LValue.Name))) {
                LAdd(TVerifyProblem::vkNotAFile,
                     "the package \"" + LValue.Name + "\" in " + LWhere + " is not a file",
                     LValue.Name, LValue.Key, LValue.Name);
            }
            if (IsPackageList(LValue.Key)) {
                LOwnPackages.push_back(LValue.Name);
            }
            continue;
        }
        const std::optional<std::string> LList = TextValue(AStore, LValue.Key, LValue.Name);
        const std::vector<std::string> LItems = PathListItems(LList.value_or(""));
        if (std::none_of(LItems.begin(), LItems.end(),
                         [&](const std::string& A) { return SameName(A, LValue.Item); })) {
            LAdd(TVerifyProblem::vkValueMissing,
                 "missing entry \"" + LValue.Item + "\" in \"" + LValue.Name + "\" of " + LWhere,
                 {}, LValue.Key, LValue.Name);
        }
    }
    // A second copy of one of its packages, registered from another folder,
    // makes the IDE refuse one of the two.
    for (const std::string& LList :
         {std::string("Known Packages"), std::string("Disabled Packages"), KKnownPackagesX64,
          KDisabledPackagesX64}) {
        const std::string LKey = NoTrailingBackslash(IDEKey(AIDEVersion, LList));
        if (!AStore.KeyExists(LKey)) {
            continue;
        }
        for (const std::string& LName : AStore.ValueNames(LKey)) {
            const bool LOwn = std::any_of(LOwnPackages.begin(), LOwnPackages.end(),
                                          [&](const std::string& A) { return SameName(A, LName); });
            const bool LSameFile =
                std::any_of(LOwnPackages.begin(), LOwnPackages.end(), [&](const std::string& A) {
                    return SameName(FileNameOf(A), FileNameOf(LName));
                });
            if (!LOwn && LSameFile) {
                LAdd(TVerifyProblem::vkConflict,
                     "another copy of \"" + FileNameOf(LName) + "\" is registered: \"" + LName +
                         "\" in HKEY_CURRENT_USER\\" + LKey,
                     LName, LKey, LName);
            }
        }
    }
}

// Puts ASource's bytes in ATarget's place, read through one opening of
// ASource and only when the bytes copied have ASha256: a source checked by
// its name and then swapped never reaches the IDE's folders. False, with
// nothing left behind, when they do not.
bool CopyVerified(const std::string& ASource, const fs::path& ATarget, const std::string& ASha256) {
    const THeldFile LFrom(ASource);
    const fs::path LPartial = FirstFreeFileName(
        ATarget.parent_path(), Utf8FromPath(ATarget.filename()), std::string(KPartialSuffix));
    std::unique_ptr<TStreamHasher> LHasher = NewSha256Hasher();
    {
        TNewFile LOut(Utf8FromPath(LPartial));
        std::vector<char> LBuffer(1 << 16);
        std::uint64_t LAt = 0;
        while (const std::size_t LRead = LFrom.ReadAt(LAt, LBuffer.data(), LBuffer.size())) {
            LOut.write(LBuffer.data(), static_cast<std::streamsize>(LRead));
            LHasher->Update(LBuffer.data(), LRead);
            LAt += LRead;
        }
        if (!LOut.Close()) {
            std::error_code LIgnored;
            fs::remove(LPartial, LIgnored);
            throw std::runtime_error("Cannot write \"" + Utf8FromPath(LPartial) + "\"");
        }
    }
    if (LHasher->HexDigest() != ASha256) {
        std::error_code LIgnored;
        fs::remove(LPartial, LIgnored);
        return false;
    }
    fs::rename(LPartial, ATarget);
    return true;
}

// What an installation recorded without a manifest must have done, as the
// package rules derive it from its extracted folder: each BPL and DCP found in
// "<platform>\Release\" there copied into the IDE's common folder (with the
// extracted copy's SHA-256), the BPLs in Known Packages (Win64 ones in the
// 64-bit IDE's list, when it has one), and the platform's Release folder in
// the Search Path of each library key there is. Nullopt when the folder is gone.
std::optional<TInstallManifest> DerivedManifest(TRegistryStore& AStore,
                                                const std::string& AIDEVersion) {
    TOrvaneRegistryData LRecord;
    if (!ReadRegistryData(AStore, AIDEVersion, LRecord) || LRecord.Path.empty() ||
        !DirectoryExists(LRecord.Path)) {
        return std::nullopt;
    }
    TInstallManifest LManifest;
    LManifest.IDEVersion = AIDEVersion;
    LManifest.VersionDir = IncludeTrailingPathDelimiter(LRecord.Path);
    const std::string LCommonDir = GetIDECommonDir(AStore, AIDEVersion);
    const bool LX64 = HasX64IDE(AStore, AIDEVersion);
    std::error_code LError;
    for (const fs::directory_entry& LPlatformDir :
         fs::directory_iterator(PathFromUtf8(LManifest.VersionDir), LError)) {
        const fs::path LRelease = LPlatformDir.path() / "Release";
        if (!fs::is_directory(LRelease)) {
            continue;
        }
        const std::string LPlatform = Utf8FromPath(LPlatformDir.path().filename());
        bool LHasFiles = false;
        for (const fs::directory_entry& LFile : fs::directory_iterator(LRelease, LError)) {
            const std::string LName = Utf8FromPath(LFile.path().filename());
            const std::string LExtension = Utf8FromPath(LFile.path().extension());
            const bool LBpl = SameName(LExtension, ".bpl");
            if (!LFile.is_regular_file() || (!LBpl && !SameName(LExtension, ".dcp"))) {
                continue;
            }
            LHasFiles = true;
            const std::string LTarget =
                PlatformFolder(LCommonDir, LBpl ? "Bpl" : "Dcp", LPlatform, PathDelimiter()) +
                LName;
            LManifest.Files.push_back({LTarget, static_cast<std::uint64_t>(LFile.file_size()),
                                       Sha256OfFile(LFile.path()), "zip",
                                       ReleaseEntryName(LPlatform, LName)});
            if (LBpl && (LPlatform == "Win32" || (LPlatform == "Win64" && LX64))) {
                const std::string LList =
                    LPlatform == "Win32" ? std::string("Known Packages") : KKnownPackagesX64;
                LManifest.Values.push_back(
                    {NoTrailingBackslash(IDEKey(AIDEVersion, LList)), LTarget, {}, LName});
            }
        }
        const std::string LLibrary = NoTrailingBackslash(LibraryKey(AIDEVersion, LPlatform));
        if (LHasFiles && AStore.KeyExists(LLibrary)) {
            LManifest.Values.push_back({LLibrary,
                                        "Search Path",
                                        LManifest.VersionDir +
                                            IncludeTrailingPathDelimiter(LPlatform) + "Release" +
                                            PathDelimiter(),
                                        {}});
        }
    }
    return LManifest;
}

} // namespace

std::optional<TInstallManifest>
TInstallEngine::ManifestToCheck(const std::string& AIDEVersion,
                                std::vector<std::string>& ALines) const {
    if (std::optional<TInstallManifest> LManifest = OwnManifest(AIDEVersion, ALines)) {
        return LManifest;
    }
    std::optional<TInstallManifest> LDerived = DerivedManifest(FStore, AIDEVersion);
    if (LDerived) {
        for (const std::string& LRefused : ConfineManifest(*LDerived, RootsFor(AIDEVersion))) {
            ALines.push_back("<ERROR> Refused: " + LRefused);
        }
    }
    return LDerived;
}

TVerifyReport TInstallEngine::Verify(const std::vector<std::string>& AIDEVersions) {
    TVerifyReport LReport;
    std::vector<std::string> LVersions = AIDEVersions;
    if (LVersions.empty()) {
        for (const TOrvaneRegistryData& LRecord : ReadInstalledVersions(FStore)) {
            LVersions.push_back(LRecord.IDEVersion);
        }
    }
    AwayFromHost([&] {
        for (const std::string& LVersion : LVersions) {
            LReport.Versions.push_back(LVersion);
            if (const std::string LStuck = StuckJournalText(LVersion); !LStuck.empty()) {
                LReport.Problems.push_back({TVerifyProblem::vkUnverifiable,
                                            LVersion,
                                            LVersion + ": " + LStuck,
                                            {},
                                            {},
                                            {}});
                continue;
            }
            std::optional<TInstallManifest> LManifest;
            std::vector<std::string> LLines;
            try {
                LManifest = ManifestToCheck(LVersion, LLines);
                // What its manifest names outside the installation is reported,
                // never checked or repaired.
                for (const std::string& LLine : LLines) {
                    const std::string LPrefix = "<ERROR> ";
                    LReport.Problems.push_back(
                        {TVerifyProblem::vkUnverifiable,
                         LVersion,
                         LVersion + ": " +
                             (LLine.rfind(LPrefix, 0) == 0 ? LLine.substr(LPrefix.size()) : LLine),
                         {},
                         {},
                         {}});
                }
            } catch (const std::exception& AError) {
                LReport.Problems.push_back({TVerifyProblem::vkUnverifiable,
                                            LVersion,
                                            LVersion + ": " + AError.what(),
                                            {},
                                            {},
                                            {}});
                continue;
            }
            if (!LManifest) {
                LReport.Problems.push_back(
                    {TVerifyProblem::vkUnverifiable,
                     LVersion,
                     LVersion + ": installed without a manifest, and its folder is gone; it "
                                "cannot be verified",
                     {},
                     {},
                     {}});
                continue;
            }
            CheckInstallation(FStore, LVersion, *LManifest, LReport.Problems);
        }
    });
    return LReport;
}

TVerifyReport TInstallEngine::Repair(const std::vector<std::string>& AIDEVersions,
                                     bool ARemoveConflicts,
                                     const TPackageEntryLookup& APackageEntry) {
    const TVerifyReport LFound = Verify(AIDEVersions);
    for (const std::string& LVersion : LFound.Versions) {
        std::vector<const TVerifyProblem*> LMine;
        for (const TVerifyProblem& LProblem : LFound.Problems) {
            if (LProblem.IDEVersion == LVersion &&
                LProblem.Kind != TVerifyProblem::vkUnverifiable &&
                (LProblem.Kind != TVerifyProblem::vkConflict || ARemoveConflicts)) {
                LMine.push_back(&LProblem);
            }
        }
        if (LMine.empty() || !StuckJournalText(LVersion).empty()) {
            continue;
        }
        TOrvaneRegistryData LRecord;
        ReadRegistryData(FStore, LVersion, LRecord);
        std::vector<std::string> LIgnored;
        const std::optional<TInstallManifest> LChecked = ManifestToCheck(LVersion, LIgnored);
        if (!LChecked) {
            continue;
        }
        const TInstallManifest& LManifest = *LChecked;
        // The repair's backup goes beside the package's folder the manifest
        // names, not wherever a changed record points.
        if (!LManifest.VersionDir.empty()) {
            LRecord.Path = LManifest.VersionDir;
        }
        std::vector<std::string> LPackages;
        std::vector<std::string> LPackages64;
        for (const TManifestValue& LValue : LManifest.Values) {
            if (LValue.Item.empty() && IsPackageList(LValue.Key)) {
                (SameName(FileNameOf(NoTrailingBackslash(LValue.Key)), KKnownPackagesX64)
                     ? LPackages64
                     : LPackages)
                    .push_back(LValue.Name);
            }
        }
        std::vector<TBackupKey> LKeys =
            IDEBackupKeys(LVersion, KLibraryPlatforms, LPackages, LPackages64);
        // A list the IDE lost whole (a C++ path value) is written anew: its
        // key's backup names it, so a rollback takes it out again. A library
        // key of a platform beyond the usual ones gets its own backup.
        for (const TManifestValue& LValue : LManifest.Values) {
            if (std::none_of(LKeys.begin(), LKeys.end(),
                             [&](const TBackupKey& A) { return SameName(A.Key, LValue.Key); })) {
                LKeys.emplace_back(LValue.Key);
            }
            for (TBackupKey& LKey : LKeys) {
                if (!LKey.Whole && SameName(LKey.Key, LValue.Key) &&
                    std::none_of(LKey.NewValues.begin(), LKey.NewValues.end(),
                                 [&](const std::string& A) { return SameName(A, LValue.Name); })) {
                    LKey.NewValues.push_back(LValue.Name);
                }
            }
        }
        TInstallJournal LJournal = TInstallJournal::Begin(DataFolder(), LVersion);
        LJournal.BeforeChange = FSettings.BeforeChange;
        // The package downloaded again, once, when no copy at hand matches.
        std::optional<std::string> LFreshZip;
        bool LDownloadTried = false;
        const auto LDownloadAgain = [&] {
            LDownloadTried = true;
            if (!APackageEntry || LManifest.PackagePath.empty()) {
                return;
            }
            try {
                const rapidjson::Value* LEntry = APackageEntry(LVersion);
                if (LEntry == nullptr) {
                    Log("<ERROR> The server offers no package for \"" + LVersion + "\"");
                    return;
                }
                LFreshZip =
                    DownloadAgain(*LEntry, IncludeTrailingPathDelimiter(Utf8FromPath(
                                               PathFromUtf8(LManifest.PackagePath).parent_path())));
            } catch (const std::exception& AError) {
                Log("<ERROR> The package of \"" + LVersion +
                    "\" cannot be downloaded again: " + AError.what());
            }
        };
        // AEntryName out of AZip into a scratch folder; its path when it has ASha256.
        const auto LFromZip = [&](const std::string& AZip, const std::string& AEntryName,
                                  const std::string& ASha256) -> std::string {
            const fs::path LTemp = DataFolder() / "Repair";
            fs::create_directories(LTemp);
            TZipReader LZip(AZip);
            LZip.Extract(AEntryName, IncludeTrailingPathDelimiter(Utf8FromPath(LTemp)));
            const std::string LFile = Utf8FromPath(LTemp / PathFromUtf8(FileNameOf(AEntryName)));
            return Sha256OfFile(LFile) == ASha256 ? LFile : std::string();
        };
        try {
            Log("Repairing the installation of \"" + LVersion + "\" ...");
            // The extracted folder comes back from the package, through the one
            // opening its SHA-256 is checked on; a download again when it is gone.
            if (std::any_of(LMine.begin(), LMine.end(), [](const TVerifyProblem* A) {
                    return A->Kind == TVerifyProblem::vkFolderMissing;
                })) {
                std::shared_ptr<const THeldFile> LPackage;
                if (FileExists(LManifest.PackagePath)) {
                    LPackage = std::make_shared<const THeldFile>(LManifest.PackagePath);
                    if (Sha256OfFile(*LPackage) != LManifest.PackageSha256) {
                        LPackage.reset();
                    }
                }
                if (!LPackage && !LDownloadTried) {
                    LDownloadAgain();
                    if (LFreshZip) {
                        LPackage = std::make_shared<const THeldFile>(*LFreshZip);
                    }
                }
                if (!LPackage) {
                    Log("<ERROR> No copy of the package of \"" + LVersion +
                        "\" with its installed SHA-256 is at hand");
                } else {
                    Log("Extracting all files for " + Quoted(LVersion) + " into " +
                        Quoted(LManifest.VersionDir));
                    TZipReader LZip(LPackage);
                    AwayFromHost([&] { LZip.ExtractAll(LManifest.VersionDir); });
                }
            }
            for (const TVerifyProblem* LProblem : LMine) {
                if (LProblem->Kind != TVerifyProblem::vkFileMissing &&
                    LProblem->Kind != TVerifyProblem::vkFileChanged) {
                    continue;
                }
                const auto LFile =
                    std::find_if(LManifest.Files.begin(), LManifest.Files.end(),
                                 [&](const TManifestFile& A) { return A.Path == LProblem->Path; });
                // The copy beside the installation first, else the package itself.
                std::string LSource;
                if (LFile == LManifest.Files.end()) {
                    continue;
                }
                if (LFile->SourceKind == "zip" && !LManifest.VersionDir.empty()) {
                    std::string LExtracted = LFile->Source;
                    std::replace(LExtracted.begin(), LExtracted.end(), '/', PathDelimiter());
                    LExtracted = LManifest.VersionDir + LExtracted;
                    if (FileExists(LExtracted) && Sha256OfFile(LExtracted) == LFile->Sha256) {
                        LSource = LExtracted;
                    } else if (FileExists(LManifest.PackagePath) &&
                               Sha256OfFile(LManifest.PackagePath) == LManifest.PackageSha256) {
                        LSource = LFromZip(LManifest.PackagePath, LFile->Source, LFile->Sha256);
                    } else {
                        if (!LDownloadTried) {
                            LDownloadAgain();
                        }
                        if (LFreshZip) {
                            LSource = LFromZip(*LFreshZip, LFile->Source, LFile->Sha256);
                        }
                    }
                } else if (LFile->SourceKind == "file" && FileExists(LFile->Source) &&
                           Sha256OfFile(LFile->Source) == LFile->Sha256) {
                    LSource = LFile->Source;
                }
                if (LSource.empty()) {
                    Log("<ERROR> No copy of \"" + LFile->Path +
                        "\" with its installed SHA-256 is at hand");
                    continue;
                }
                LJournal.CreateFolders(PathFromUtf8(LFile->Path).parent_path());
                LJournal.FileWillBeWritten(PathFromUtf8(LFile->Path));
                Log("Restoring file \"" + LFile->Path + "\"");
                if (!CopyVerified(LSource, PathFromUtf8(LFile->Path), LFile->Sha256)) {
                    Log("<ERROR> \"" + LSource + "\" changed while it was copied; \"" +
                        LFile->Path + "\" is not restored");
                }
            }
            std::error_code LIgnored;
            fs::remove_all(DataFolder() / "Repair", LIgnored);

            const bool LRegistry =
                std::any_of(LMine.begin(), LMine.end(), [](const TVerifyProblem* A) {
                    return A->Kind == TVerifyProblem::vkValueMissing ||
                           A->Kind == TVerifyProblem::vkConflict;
                });
            if (LRegistry) {
                fs::path LBackup;
                if (const std::string LFailure = BackupIDERegistry(
                        LVersion, "repair", LKeys, UninstallBackupFolder(LRecord), {}, &LBackup);
                    !LFailure.empty()) {
                    throw std::runtime_error(LFailure);
                }
                LJournal.RegistryWillChange(LBackup);
                AwayFromHost([&] {
                    for (const TVerifyProblem* LProblem : LMine) {
                        if (LProblem->Kind == TVerifyProblem::vkConflict) {
                            FStore.DeleteValue(LProblem->Key, LProblem->Name);
                            continue;
                        }
                        if (LProblem->Kind != TVerifyProblem::vkValueMissing) {
                            continue;
                        }
                        for (const TManifestValue& LValue : LManifest.Values) {
                            if (LValue.Key != LProblem->Key || LValue.Name != LProblem->Name) {
                                continue;
                            }
                            const std::optional<std::string> LList =
                                TextValue(FStore, LValue.Key, LValue.Name);
                            std::string LData = LValue.Data;
                            if (!LValue.Item.empty()) {
                                const std::vector<std::string> LItems =
                                    PathListItems(LList.value_or(""));
                                if (std::any_of(LItems.begin(), LItems.end(),
                                                [&](const std::string& A) {
                                                    return SameName(A, LValue.Item);
                                                })) {
                                    continue;
                                }
                                LData = LList.value_or("");
                                if (!LData.empty() && LData.back() != ';') {
                                    LData += ';';
                                }
                                LData += LValue.Item + ";";
                            }
                            if (!FStore.KeyExists(LValue.Key) && !FStore.CreateKey(LValue.Key)) {
                                throw std::runtime_error("Failed to create key " + LValue.Key);
                            }
                            if (!FStore.SetValue(LValue.Key,
                                                 {LValue.Name, rtSz, ToUtf16Le(LData, true)})) {
                                throw std::runtime_error("Failed to set data for '" + LValue.Name +
                                                         "'");
                            }
                        }
                    }
                });
            }
        } catch (const std::exception& AError) {
            const std::string LText = RollBackVersion(LJournal, AError.what());
            Log("<ERROR> " + LText);
            FHost->Warning(LText);
            continue;
        }
        LJournal.Finish();
        Log("Repairing the installation of \"" + LVersion + "\" done");
    }
    return Verify(AIDEVersions);
}

} // namespace orvane
