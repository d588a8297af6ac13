#include "app/Unit2.h"

#include "install/FileOperations.h"
#include "install/PackageRules.h"
#include "install/PackageSpace.h"
#include "install/ZipReader.h"
#include "platform/FileCopy.h"
#include "platform/SystemFolders.h"
#include "registry/CppPaths.h"
#include "registry/DelphiLibrary.h"
#include "registry/IDELocations.h"
#include "registry/ProductRecords.h"
#include "registry/X64Packages.h"
#include "server/Downloader.h"
#include "server/Protocol.h"
#include "server/Sha256.h"

#include <QCoreApplication>
#include <QPointer>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <thread>

namespace {

QString Q(const std::string& AText) {
    return QString::fromStdString(AText);
}

QString Quoted(const std::string& AText) {
    return QStringLiteral("\"") + Q(AText) + "\"";
}

// Shared by InstallPackage and the download handlers, which may outlive the call.
struct TWaitState {
    bool LDone = false;
    bool LHasErr = false;
    std::string LErrMsg;
    // Digest of a complete download, written on the transfer thread before the
    // final notification.
    std::string LReceivedSha256;
};

} // namespace

bool TForm2::InstallPackage(const rapidjson::Value* AEntry, const QString& AIDEDir,
                            const QString& ADownloadDir) {
    using namespace orvane;

    if (AEntry == nullptr || !AEntry->IsObject()) {
        return false;
    }
    const rapidjson::Value& LEntry = *AEntry;
    const std::string LSep(1, PathDelimiter());
    const std::string LDownloadDir = ADownloadDir.toStdString();
    const std::string LIDEDir = AIDEDir.toStdString();
    auto LState = std::make_shared<TWaitState>();

    const std::string LFile = ReadMemberTextOrEmpty(LEntry, "file");
    const std::string LDownloadUrl = PackageEndpoint(LEntry);
    std::optional<std::string> LSha256;
    if (std::string LError; !ReadExpectedSha256(LEntry, LSha256, LError)) {
        Log(QStringLiteral("<ERROR> ") + Q(LError));
        return false;
    }

    if (const std::string LUnusable = UnusableEntryName(LEntry); !LUnusable.empty()) {
        Log(QStringLiteral("<ERROR> ") + Q(LUnusable));
        return false;
    }
    if (!DirectoryExists(LDownloadDir) && !ForceDirectories(LDownloadDir)) {
        Log(QStringLiteral("<ERROR> Failed to create directory: ") + Quoted(LDownloadDir));
        return false;
    }

    const std::string LVersion = ReadMemberText(LEntry, "version").value_or("0.0");
    const std::string LFileVersion =
        PackageFileVersion(ReadMemberText(LEntry, "file_version"), LFile);
    const std::string LPackageType =
        PackageType(ReadMemberTextOrEmpty(LEntry, "name"), FCredentials.Mode);
    const std::string LFileName = PackageFileName(LFile, LVersion, LFileVersion);
    const std::string LPackagePath = LDownloadDir + LFileName;
    const std::string LVersionDir = IncludeTrailingPathDelimiter(LDownloadDir) + LVersion + LSep;

    // A zip left from before is checked before it is offered for use.
    if (LSha256 && FileExists(LPackagePath)) {
        const std::string LFound = Sha256OfFile(LPackagePath);
        if (LFound != *LSha256) {
            Log(QStringLiteral(
                    "Package file %1 does not match its SHA-256 (expected %2, found %3); "
                    "deleting it to download it again")
                    .arg(Q(LPackagePath), Q(*LSha256), Q(LFound)));
            RemoveFile(LPackagePath);
        }
    }
    if (FileExists(LPackagePath)) {
        Log(QStringLiteral("Package file %1 already exists").arg(Q(LPackagePath)));
        const int LAnswer = Dialogs().WarningQuestion(
            this, QStringLiteral("The package file %1 already exists.\r\n\r\nDo you want to delete "
                                 "it and download again?")
                      .arg(Quoted(LPackagePath)));
        if (LAnswer == mrYes) {
            Log(QStringLiteral("Deleting existing package file %1").arg(Q(LPackagePath)));
            RemoveFile(LPackagePath);
        }
    }

    Log(QStringLiteral("Reading Orvane registry entry for %1").arg(Quoted(LVersion)));
    TOrvaneRegistryData LRecord;
    if (ReadRegistryData(RegistryStore(), LVersion, LRecord) &&
        CompareVersions(LRecord.Version, LFileVersion) >= 0) {
        const int LAnswer = Dialogs().WarningQuestion(
            this,
            QStringLiteral("You try to install version %1, but a Orvane version %2 is already "
                           "installed.\r\n\r\nDo you want to continue?")
                .arg(Quoted(LFileVersion), Quoted(LRecord.Version)));
        if (LAnswer != mrYes) {
            return false;
        }
    }

    if (!FileExists(LPackagePath)) {
        Log(QStringLiteral("Downloading %1 ...").arg(Quoted(LFileName)));
        LState->LHasErr = false;
        LState->LDone = false;
        auto* LDownloader = new TDownloader(ApiUrl(), "");
        LDownloader->Credentials = FCredentials;
        QPointer<TForm2> LWindow(this);
        LDownloader->OnStarted = [LWindow](TDownloader& ASender) {
            if (LWindow) {
                LWindow->SetProgressRange(ASender.MaxProgress);
                LWindow->SetProgressValue(0);
                LWindow->StartTransferText();
            }
        };
        LDownloader->OnProgress = [LWindow](TDownloader& ASender) {
            if (LWindow) {
                LWindow->SetProgressValue(ASender.Progress);
                LWindow->ShowTransferProgress(ASender.Progress, ASender.MaxProgress,
                                              ASender.Progress == ASender.MaxProgress);
            }
        };
        // Hashed on the transfer thread as the blocks are written (no second
        // pass) and checked before the zip takes its final name.
        if (LSha256) {
            std::shared_ptr<TStreamHasher> LHasher = NewSha256Hasher();
            LDownloader->OnData = [LHasher](const char* AData, std::size_t ASize) {
                LHasher->Update(AData, ASize);
            };
            LDownloader->OnVerify = [LHasher, LState, LExpected = *LSha256] {
                LState->LReceivedSha256 = LHasher->HexDigest();
                if (LState->LReceivedSha256 != LExpected) {
                    throw std::runtime_error("SHA-256 mismatch");
                }
            };
        }
        LDownloader->OnError = [LState](const std::exception& AError) {
            LState->LDone = true;
            LState->LErrMsg = AError.what();
            LState->LHasErr = true;
        };
        LDownloader->OnCompleted = [LState](TDownloader&) { LState->LDone = true; };
        LDownloader->Download(LDownloadUrl, LPackagePath, true);

        bool LAborted = false;
        while (!LState->LDone) {
            QCoreApplication::processEvents();
            // A window that closes stops its download; the error path below
            // then removes the partial file and says so.
            if (IsClosing() && !LAborted) {
                LAborted = true;
                TDownloader::AbortAll();
                continue;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (LState->LHasErr) {
            const std::string LPartial = TDownloader::PartialFileName(LPackagePath);
            if (FileExists(LPartial)) {
                RemoveFile(LPartial);
                Log(QStringLiteral("Downloaded file deleted: %1").arg(Q(LPartial)));
            }
            if (LSha256 && !LState->LReceivedSha256.empty() &&
                LState->LReceivedSha256 != *LSha256) {
                const QString LMessage =
                    QStringLiteral("<ERROR> SHA-256 mismatch for %1: expected %2, received %3; "
                                   "the download is deleted")
                        .arg(Quoted(LFileName), Q(*LSha256), Q(LState->LReceivedSha256));
                Log(LMessage);
                ShowWarning(LMessage);
                return false;
            }
            Log(QStringLiteral("Failed to download package: %1 (Temporary=%2)\r\n%3")
                    .arg(Q(LFileName), Quoted(LPackagePath), Q(LState->LErrMsg)));
            return false;
        }
    }

    Log(QStringLiteral("Extracting package %1 ...").arg(Quoted(LFileName)));
    TZipReader LZip(LPackagePath);
    LZip.SetPump([] { QCoreApplication::processEvents(); });
    LZip.SetProgress([this](std::int64_t AWritten, std::int64_t ATotal) {
        SetProgressRange(ATotal);
        SetProgressValue(AWritten);
    });

    if (!ReadMemberText(LEntry, "version")) {
        Log(QStringLiteral("<ERROR> The package entry has no \"version\""));
        return false;
    }

    const std::string LCommonDir = GetIDECommonDir(RegistryStore(), LVersion);
    const std::string LBinDir = LIDEDir + LVersion + LSep + "bin" + LSep;
    RequireFreeSpace(PackageSpaceNeeds(LZip, LEntry, LVersionDir, LCommonDir, LBinDir));

    Log(QStringLiteral("Extracting all files for %1 into %2")
            .arg(Quoted(LVersion), Quoted(LVersionDir)));
    LZip.ExtractAll(LVersionDir);

    const std::optional<std::string> LBpls = ReadMemberText(LEntry, "bpls");
    const std::optional<std::string> LDcps = ReadMemberText(LEntry, "dcps");
    const std::string LDlls = ReadMemberTextOrEmpty(LEntry, "dlls");
    const std::optional<std::string> LPlatformList = ReadMemberText(LEntry, "platforms");
    QStringList LMissing;
    for (const auto& [LName, LValue] : {std::pair{"bpls", &LBpls}, std::pair{"dcps", &LDcps},
                                        std::pair{"platforms", &LPlatformList}}) {
        if (!*LValue) {
            LMissing << QStringLiteral("\"%1\"").arg(QLatin1String(LName));
        }
    }
    if (!LMissing.isEmpty()) {
        Log(QStringLiteral("<ERROR> The package entry has no %1").arg(LMissing.join(", ")));
        return false;
    }
    const std::vector<std::string> LPlatforms = CommaListNames(*LPlatformList);

    Log(QStringLiteral("Extracting BPL files for %1").arg(Quoted(LVersion)));
    TKnownPackagePairs LPairs;
    TKnownPackagePairs LPairs64;
    for (const std::string& LBpl : CommaListNames(*LBpls)) {
        for (const std::string& LPlatform : LPlatforms) {
            const std::string LDest = PlatformFolder(LCommonDir, "Bpl", LPlatform, PathDelimiter());
            const std::string LEntryName = ReleaseEntryName(LPlatform, LBpl);
            if (LPlatform == "Win32") {
                LPairs.push_back({LDest + LBpl, LBpl});
            } else if (LPlatform == "Win64") {
                LPairs64.push_back({LDest + LBpl, LBpl});
            }
            if (LZip.IndexOf(LEntryName) >= 0) {
                Log(QStringLiteral("Copy BPL file %1 to %2...")
                        .arg(Quoted(LEntryName), Quoted(LDest)));
                ForceDirectories(LDest);
                LZip.Extract(LEntryName, LDest);
            }
        }
    }

    Log(QStringLiteral("Extracting DCP files for %1").arg(Quoted(LVersion)));
    for (const std::string& LDcp : CommaListNames(*LDcps)) {
        for (const std::string& LPlatform : LPlatforms) {
            const std::string LDest = PlatformFolder(LCommonDir, "Dcp", LPlatform, PathDelimiter());
            const std::string LEntryName = ReleaseEntryName(LPlatform, LDcp);
            if (LZip.IndexOf(LEntryName) >= 0) {
                Log(QStringLiteral("Copy DCP file %1 to %2 ...")
                        .arg(Quoted(LEntryName), Quoted(LDest)));
                ForceDirectories(LDest);
                LZip.Extract(LEntryName, LDest);
            }
        }
    }

    Log(QStringLiteral("Extracting DLL files for %1").arg(Quoted(LVersion)));
    // A DLL that cannot be written (a full disk) ends the version like a BPL
    // would: nothing half-installed gets registered.
    for (const std::string& LDll : CommaListNames(LDlls)) {
        if (LZip.IndexOf(LDll) >= 0) {
            Log(QStringLiteral("Copy DLL file %1 ...").arg(Quoted(LDll)));
            ForceDirectories(LBinDir);
            LZip.Extract(LDll, LBinDir);
        }
    }

    const std::string LInstallerDir = IncludeTrailingPathDelimiter(Utf8FromPath(ExeDir()));
    Log(QStringLiteral("Copying SSL libraries from %1 to %2")
            .arg(Quoted(LInstallerDir), Quoted(LBinDir)));
    try {
        for (const char* LLibrary : {"libeay32.dll", "ssleay32.dll"}) {
            CopyFileNoOverwrite(LInstallerDir + LLibrary, LBinDir + LLibrary);
        }
    } catch (const std::exception& AError) {
        ShowWarning(Q(AError.what()));
    }

    // The backup names the package values this step enters, so that a restore
    // takes them out again and leaves every other value where it is.
    std::vector<std::string> LNames;
    std::vector<std::string> LNames64;
    for (const auto& LPair : LPairs) {
        LNames.push_back(LPair[0]);
    }
    for (const auto& LPair : LPairs64) {
        LNames64.push_back(LPair[0]);
    }
    if (!BackupIDERegistry(
             LVersion, "install",
             IDEBackupKeys(LVersion, SplitCommaList(*LPlatformList), LNames, LNames64),
             BackupFolder(LDownloadDir))
             .isEmpty()) {
        return false;
    }
    Log(QStringLiteral("Writing Orvane registry entries ..."));
    WriteRegistryData(RegistryStore(), TOrvaneRegistryData::Create(LVersion, LFileVersion,
                                                                   LicenseWord(FCredentials.Mode),
                                                                   LPackageType, LVersionDir));
    Log(QStringLiteral("Writing Orvane registry entries done"));

    Log(QStringLiteral("Editing registry entries ..."));
    RegisterDelphiLibrary(RegistryStore(), LVersion, LVersionDir, LPairs,
                          SplitCommaList(*LPlatformList));
    RegisterCppPaths(RegistryStore(), LVersion, LVersionDir, LPairs);
    Log(QStringLiteral("Editing registry entries done."));
    // The 64-bit IDE loads the Win64 BPLs from its own list, when it is installed.
    if (std::find(LPlatforms.begin(), LPlatforms.end(), "Win64") != LPlatforms.end() &&
        HasX64IDE(RegistryStore(), LVersion)) {
        Log(QStringLiteral("Editing 64-bit IDE registry entries ..."));
        RegisterX64Packages(RegistryStore(), LVersion, LPairs64);
        Log(QStringLiteral("Editing 64-bit IDE registry entries done."));
    }

    Log(QStringLiteral("Extracting package %1 done.").arg(Quoted(LFileName)));
    LZip.Close();

    Log(QStringLiteral("Installation done."));
    return true;
}
