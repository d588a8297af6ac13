// download, and what install --from and list --from read: bundles, made once
// from the API server and installed from on many machines.
#include "cli/CommandSupport.h"
#include "install/FileOperations.h"
#include "install/PackageRules.h"
#include "install/PackageSpace.h"
#include "platform/FileNames.h"
#include "platform/HeldFile.h"
#include "platform/NewFile.h"
#include "platform/SystemFolders.h"
#include "platform/Text.h"
#include "server/Bundle.h"
#include "server/ConfigurationList.h"
#include "server/DownloadResume.h"
#include "server/Downloader.h"
#include "server/HostThread.h"
#include "server/Protocol.h"
#include "server/Sha256.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <ostream>

namespace orvane::cli {

namespace {

std::string UtcNow() {
    const std::time_t LNow = std::time(nullptr);
    std::tm LTime{};
#ifdef _WIN32
    gmtime_s(&LTime, &LNow);
#else
    gmtime_r(&LNow, &LTime);
#endif
    char LText[32] = {};
    std::strftime(LText, sizeof LText, "%Y-%m-%dT%H:%M:%SZ", &LTime);
    return LText;
}

// Written beside its final name and renamed, so a bundle file is never half there.
void WriteWholeFile(const std::string& AFile, const std::string& ABytes) {
    const std::string LPartial = AFile + std::string(KPartialSuffix);
    std::error_code LError;
    // A part an earlier run left goes (removing a name never follows a link);
    // the new one is created only where nothing has its name.
    std::filesystem::remove(PathFromUtf8(LPartial), LError);
    {
        TNewFile LOut(LPartial);
        LOut << ABytes;
        if (!LOut.Close()) {
            throw std::runtime_error("Failed to write \"" + LPartial + "\"");
        }
    }
    std::filesystem::rename(PathFromUtf8(LPartial), PathFromUtf8(AFile), LError);
    if (LError) {
        throw std::runtime_error("Cannot rename \"" + LPartial + "\" to \"" + AFile + "\". " +
                                 LError.message());
    }
}

// The bundle file a former run left in the folder; empty when there is none
// or it cannot be read (its packages are then checked against the server).
TBundle FormerBundle(const std::string& ADir) {
    try {
        if (!FileExists(ADir + KBundleFileName)) {
            return {};
        }
        return ParseBundle(ReadHeldFile(ADir + KBundleFileName, KMaxBundleFileBytes));
    } catch (const std::exception&) {
        return {};
    }
}

// APackage's zip in ADir is still the one its entry names (size and SHA-256).
bool StillListed(const std::string& ADir, const TBundlePackage& APackage) {
    try {
        const THeldFile LZip(ADir + APackage.File);
        return LZip.Size() == APackage.Size && Sha256OfFile(LZip) == APackage.Sha256;
    } catch (const std::exception&) {
        return false;
    }
}

// One package into the bundle folder, continuing what a former run left.
// Returns what the bundle file lists for it; throws the reason it failed.
TBundlePackage DownloadPackage(const TCommandContext& AContext, const TCredentials& ACredentials,
                               const rapidjson::Value& AEntry, const std::string& ADir,
                               const TBundle& AFormer, bool& AComplete) {
    AComplete = false;
    std::optional<std::string> LServerSha256;
    std::string LError;
    if (!ReadExpectedSha256(AEntry, LServerSha256, LError)) {
        throw std::runtime_error(LError);
    }
    if (LError = UnusableEntryName(AEntry); !LError.empty()) {
        throw std::runtime_error(LError);
    }
    TBundlePackage Result;
    Result.IDEVersion = ReadMemberTextOrEmpty(AEntry, "version");
    const std::string LFile = ReadMemberTextOrEmpty(AEntry, "file");
    Result.File =
        PackageFileName(LFile, Result.IDEVersion,
                        PackageFileVersion(ReadMemberText(AEntry, "file_version"), LFile));
    Result.Sha256FromServer = LServerSha256.has_value();
    const std::string LPath = ADir + Result.File;

    // A zip already there counts only when size and digest match what is known of it.
    if (FileExists(LPath)) {
        const TBundlePackage* LFormer = AFormer.Find(Result.File);
        const std::string LFound = Sha256OfFile(LPath);
        std::error_code LSizeError;
        const auto LSize = std::filesystem::file_size(PathFromUtf8(LPath), LSizeError);
        const bool LMatches = LServerSha256 ? LFound == *LServerSha256
                                            : LFormer && LFormer->Sha256 == LFound && !LSizeError &&
                                                  LFormer->Size == LSize;
        if (LMatches && !LSizeError) {
            AContext.Log("Package file " + LPath + " is complete (size and SHA-256 match)");
            Result.Size = LSize;
            Result.Sha256 = LFound;
            AComplete = true;
            return Result;
        }
        // It stays until a whole new one takes its name.
        AContext.Log("Package file " + LPath +
                     " does not match what is known of it; downloading it again");
    }

    AContext.Log("Downloading " + Quoted(Result.File) + " ...");
    auto LHost = std::make_shared<TQueuedHostThread>();
    auto LCancelled = std::make_shared<std::atomic<bool>>(false);
    bool LDone = false;
    std::string LFailure;
    std::string LSha256;
    // Deletes itself after its final notification, which runs below.
    auto* LDownloader = new TDownloader(AContext.ApiUrl, "", LHost);
    LDownloader->Credentials = ACredentials;
    LDownloader->Cancelled = LCancelled;
    LDownloader->Resumable = true;
    const TDownloadLimit LLimit = PackageDownloadLimit(ADir);
    LDownloader->MaxSize = LLimit.Bytes;
    LDownloader->MaxSizeReason = LLimit.Reason;
    bool LDrawn = false;
    const auto LEndLine = [&AContext, &LDrawn] {
        if (LDrawn) {
            AContext.Console.Out << "\n" << std::flush;
            LDrawn = false;
        }
    };
    LDownloader->OnNote = [&AContext, &LEndLine](const std::string& ALine) {
        LEndLine();
        AContext.Log(ALine);
    };
    // On a terminal, one line drawn over itself, a few times a second.
    std::chrono::steady_clock::time_point LLastDraw{};
    LDownloader->OnProgress = [&, LName = Result.File](TDownloader& ASender) {
        const auto LNow = std::chrono::steady_clock::now();
        const bool LLast = ASender.MaxProgress >= 0 && ASender.Progress >= ASender.MaxProgress;
        if (!AContext.Console.OutTerminal ||
            (!LLast && LNow - LLastDraw < std::chrono::milliseconds(200))) {
            return;
        }
        LLastDraw = LNow;
        std::string LText =
            "Downloading " + LName + ": " +
            FormatByteSize(static_cast<std::uint64_t>(std::max<std::int64_t>(ASender.Progress, 0)));
        if (ASender.MaxProgress >= 0) {
            LText += " of " + FormatByteSize(static_cast<std::uint64_t>(ASender.MaxProgress));
        }
        AContext.Console.Out << "\r" << Printable(LText) << "\x1b[K" << std::flush;
        LDrawn = true;
    };
    LDownloader->OnVerify = [LDownloader, &LSha256, LServerSha256] {
        LSha256 = LDownloader->Sha256();
        if (LServerSha256 && LSha256 != *LServerSha256) {
            throw std::runtime_error("SHA-256 mismatch: expected " + *LServerSha256 +
                                     ", received " + LSha256);
        }
    };
    LDownloader->OnCompleted = [&LDone](TDownloader&) { LDone = true; };
    LDownloader->OnError = [&LDone, &LFailure](const std::exception& AError) {
        LFailure = AError.what();
        LDone = true;
    };
    LDownloader->Download(PackageEndpoint(AEntry), LPath, true);
    while (!LDone) {
        if (AContext.Interrupted()) {
            *LCancelled = true;
        }
        LHost->WaitForWork(std::chrono::milliseconds(100));
    }
    // The transfer lets go of its files just after its final notification.
    while (TDownloader::ActiveTransfers() > 0) {
        LHost->WaitForWork(std::chrono::milliseconds(5));
    }
    LEndLine();
    if (!LFailure.empty()) {
        const std::string LPartial = TDownloader::PartialFileName(LPath);
        if (FileExists(LPartial) && FileExists(ResumeStateFileName(LPath))) {
            AContext.Log("The partial download " + LPartial +
                         " is kept: running download again continues it");
        } else if (FileExists(LPartial)) {
            RemoveFile(LPartial);
        }
        throw std::runtime_error("Failed to download package: " + Result.File + "\n" + LFailure);
    }
    Result.Sha256 = LSha256;
    Result.Size = std::filesystem::file_size(PathFromUtf8(LPath));
    AContext.Log("Downloaded " + Quoted(Result.File) + " (" + std::to_string(Result.Size) +
                 " bytes, SHA-256 " + Result.Sha256 + ")");
    return Result;
}

} // namespace

std::shared_ptr<const TBundleSource> OpenBundle(const TCommandContext& AContext) {
    auto Result = std::make_shared<TBundleSource>();
    try {
        *Result = LoadBundle(*AContext.Options.From);
    } catch (const std::exception& AError) {
        throw ERefused("Cannot use the bundle " + *AContext.Options.From + ": " + AError.what());
    }
    if (AContext.Options.Edition && *AContext.Options.Edition != Result->Bundle.Edition) {
        throw ERefused("The bundle " + Result->Location + " holds the " +
                       EditionName(Result->Bundle.Edition) + " edition, not the " +
                       EditionName(*AContext.Options.Edition) + " edition.");
    }
    return Result;
}

TCredentials BundleCredentials(const TBundleSource& ABundle) {
    TCredentials Result;
    Result.Mode = ABundle.Bundle.Edition;
    Result.Package = Result.Mode == imDeveloper ? "DEVELOPER" : "GAMEPACKAGE";
    return Result;
}

TPackageList BundlePackageList(const TBundleSource& ABundle) {
    TPackageList Result;
    Result.Document = ParseAnswer(ABundle.Configuration);
    try {
        if (!Result.Document || !Result.Document->IsObject()) {
            throw std::runtime_error("configuration is not a JSON object");
        }
        ListConfigurationEntries(*Result.Document, [&](const TListedEntry& AEntry) {
            // Only what the bundle holds can be installed from it; what it
            // lacks stays listed, so that asking for it fails naming it.
            TListedEntry LEntry = AEntry;
            LEntry.MissingFromBundle =
                AEntry.Enabled && ABundle.Bundle.ForVersion(
                                      ReadMemberTextOrEmpty(*AEntry.Entry, "version")) == nullptr;
            Result.Entries.push_back(LEntry);
        });
    } catch (const std::exception& AError) {
        throw ERefused("The bundle's configuration cannot be read (" + std::string(AError.what()) +
                       ")");
    }
    return Result;
}

int RunDownload(const TCommandContext& AContext) {
    // Checked before signing in; an empty --to would otherwise be the drive's root.
    std::string LDir;
    if (std::string LError; !AbsoluteFolder(*AContext.Options.To, "--to", LDir, LError)) {
        throw ERefused(LError);
    }
    const TCredentials LCredentials = SignIn(AContext);
    std::string LConfiguration;
    const TPackageList LList = FetchPackageList(AContext, LCredentials, &LConfiguration);
    const std::vector<const rapidjson::Value*> LEntries = ChosenEntries(AContext, LList, false);

    if (!DirectoryExists(LDir) && !ForceDirectories(LDir)) {
        throw ERefused("Failed to create directory: " + Quoted(LDir));
    }
    const TBundle LFormer = FormerBundle(LDir);
    TBundle LBundle;
    LBundle.Edition = LCredentials.Mode;
    LBundle.Created = UtcNow();
    // What the folder holds whole stays listed while this run adds to it (a
    // package that fails keeps its earlier zip and entry); a zip that is no
    // longer the one listed is not listed.
    for (const TBundlePackage& LPackage : LFormer.Packages) {
        if (LFormer.Edition == LBundle.Edition && StillListed(LDir, LPackage)) {
            LBundle.Packages.push_back(LPackage);
        }
    }
    int LResult = ecDone;
    rapidjson::Value LReport(rapidjson::kArrayType);
    // One line per package on standard error and, with --json, an entry of "packages".
    const auto LReportPackage = [&](const std::string& AVersion, const TBundlePackage* APackage,
                                    const char* AOutcome, const std::string& AReason) {
        AContext.Console.Err << Printable(AVersion) << ": " << AOutcome
                             << (AReason.empty() ? "" : " (" + OneLine(AReason) + ")") << "\n";
        if (!AContext.Json) {
            return;
        }
        auto& LAlloc = AContext.Json->GetAllocator();
        rapidjson::Value LItem(rapidjson::kObjectType);
        LItem.AddMember("ide_version", AContext.JsonText(AVersion), LAlloc);
        LItem.AddMember("outcome", AContext.JsonText(AOutcome), LAlloc);
        LItem.AddMember("reason", AContext.JsonText(AReason), LAlloc);
        if (APackage) {
            LItem.AddMember("file", AContext.JsonText(APackage->File), LAlloc);
            LItem.AddMember("size", APackage->Size, LAlloc);
            LItem.AddMember("sha256", AContext.JsonText(APackage->Sha256), LAlloc);
            LItem.AddMember("sha256_source",
                            AContext.JsonText(APackage->Sha256FromServer ? "server" : "computed"),
                            LAlloc);
        }
        LReport.PushBack(LItem, LAlloc);
    };
    for (const rapidjson::Value* LEntry : LEntries) {
        const std::string LVersion = ReadMemberTextOrEmpty(*LEntry, "version");
        if (AContext.Interrupted()) {
            LReportPackage(LVersion, nullptr, "not begun", AContext.InterruptText());
            LResult = ecStopped;
            continue;
        }
        try {
            bool LComplete = false;
            const TBundlePackage LPackage =
                DownloadPackage(AContext, LCredentials, *LEntry, LDir, LFormer, LComplete);
            std::erase_if(LBundle.Packages, [&LPackage](const TBundlePackage& AOld) {
                return AOld.File == LPackage.File || AOld.IDEVersion == LPackage.IDEVersion;
            });
            LBundle.Packages.push_back(LPackage);
            LReportPackage(LVersion, &LPackage, LComplete ? "skipped" : "downloaded",
                           LComplete ? "already complete" : "");
        } catch (const std::exception& AError) {
            AContext.Log(std::string("<ERROR> ") + AError.what());
            LReportPackage(LVersion, nullptr, "failed", AError.what());
            LResult = AContext.Interrupted() ? ecStopped : ecSomeFailed;
        }
    }
    for (const TListedEntry& LListed : LList.Entries) {
        const std::string LVersion = ReadMemberTextOrEmpty(*LListed.Entry, "version");
        if (!IsAvailable(LListed) || std::find(LBundle.Offered.begin(), LBundle.Offered.end(),
                                               LVersion) != LBundle.Offered.end()) {
            continue;
        }
        LBundle.Offered.push_back(LVersion);
        if (!LBundle.ForVersion(LVersion)) {
            LBundle.Missing.push_back(LVersion);
        }
    }
    AContext.JsonMember("bundle", AContext.JsonText(LDir));
    AContext.JsonMember("packages", std::move(LReport));
    WriteWholeFile(LDir + KBundleConfigurationName, LConfiguration);
    WriteWholeFile(LDir + KBundleFileName, BundleText(LBundle));
    AContext.Log("Bundle written to " + LDir + " (" + std::to_string(LBundle.Packages.size()) +
                 " package(s)" +
                 (LBundle.Complete()
                      ? std::string()
                      : "; it lacks the package of " + JoinVersions(LBundle.Missing) +
                            ", and is not complete") +
                 ")");
    if (LResult == ecDone) {
        AContext.Console.Out << "Bundle ready in " << Printable(LDir) << "\n";
    }
    return LResult;
}

} // namespace orvane::cli
