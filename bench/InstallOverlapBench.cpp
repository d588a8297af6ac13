#include "install/InstallEngine.h"
#include "platform/FileNames.h"
#include "platform/Text.h"
#include "registry/RegistryStore.h"
#include "server/Downloader.h"
#include "server/HostThread.h"
#include "server/Protocol.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// bench_install_overlap <api base url> <work folder> <package>... -- <rounds>
// Installs the packages (served as /file/<package>) into one IDE version each,
// the way the installer does, and measures per round, alternating:
//   download   the packages alone, one after another, through TDownloader;
//   extract    the installation with every package already downloaded (the
//              extraction, copies and registry work alone);
//   sequential the installation downloading each package at its turn;
//   overlapped the installation downloading the next package ahead.
// Prints one line per measurement: "<round> <kind> <seconds>".

namespace fs = std::filesystem;

namespace {

using TClock = std::chrono::steady_clock;

// Says nothing, keeps what it finds in the download folder, never goes on
// over an installed version (there is none in a fresh sandbox).
class TBenchHost : public orvane::TInstallHost {
public:
    void Post(std::function<void()> AWork) override { FThread.Post(std::move(AWork)); }
    bool IsHostThread() const override { return FThread.IsHostThread(); }
    void ProcessPending() override { FThread.ProcessPending(); }
    bool IsShuttingDown() const override { return FThread.IsShuttingDown(); }
    void Log(const std::string& ALine) override {
        LastLine = ALine;
        if (std::getenv("BENCH_LOG") != nullptr) {
            std::fprintf(stderr, "%8.3f %s\n",
                         std::chrono::duration<double>(TClock::now() - FStart).count(),
                         ALine.c_str());
        }
    }
    void Warning(const std::string& AText) override {
        std::fprintf(stderr, "warning: %s\n", AText.c_str());
    }
    void Message(const std::string&) override {}
    bool Ask(const orvane::TQuestion& AQuestion) override {
        return AQuestion.Id == orvane::TQuestionId::ExistingZip ? false : AQuestion.Default;
    }
    void Progress(const orvane::TProgress&) override {}

    std::string LastLine;

private:
    orvane::TQueuedHostThread FThread;
    TClock::time_point FStart = TClock::now();
};

orvane::TRegValue Sz(const std::string& AName, const std::string& AText) {
    return {AName, orvane::rtSz, orvane::ToUtf16Le(AText, true)};
}

std::string Dir(const fs::path& APath) {
    return orvane::Utf8FromPath(APath) + "/";
}

std::string Version(std::size_t AIndex) {
    return std::to_string(22 + AIndex) + ".0";
}

// A fresh machine below AFolder: the IDE versions in a registry store of their own.
std::shared_ptr<orvane::TRegistryStore> NewSandbox(const fs::path& AFolder, std::size_t AVersions) {
    fs::remove_all(AFolder);
    fs::create_directories(AFolder / "exe");
    for (const char* LLibrary : {"libeay32.dll", "ssleay32.dll"}) {
        std::FILE* LFile =
            std::fopen(orvane::Utf8FromPath(AFolder / "exe" / LLibrary).c_str(), "wb");
        if (LFile == nullptr) {
            throw std::runtime_error("cannot write the SSL library stand-ins");
        }
        std::fclose(LFile);
    }
    auto LStore = orvane::OpenSqliteRegistryStore(AFolder / "registry.sqlite");
    const std::string LBds = "SOFTWARE\\Embarcadero\\BDS\\";
    for (std::size_t LIndex = 0; LIndex < AVersions; ++LIndex) {
        const std::string LVersion = Version(LIndex);
        fs::create_directories(AFolder / "ide" / LVersion / "bin");
        const std::string LKey = LBds + LVersion + "\\Environment Variables";
        if (!LStore->CreateKey(LKey) ||
            !LStore->SetValue(LKey, Sz("BDSCatalogRepositoryAllUsers",
                                       Dir(AFolder / "common" / LVersion) + "Catalog")) ||
            !LStore->CreateKey(LBds + LVersion + "\\Known Packages")) {
            throw std::runtime_error("cannot seed the registry store");
        }
        for (const char* LPlatform : {"Win32", "Win64"}) {
            const std::string LLibrary = LBds + LVersion + "\\Library\\" + LPlatform;
            if (!LStore->CreateKey(LLibrary) ||
                !LStore->SetValue(LLibrary, Sz("Search Path", "$(BDSLIB)"))) {
                throw std::runtime_error("cannot seed the registry store");
            }
        }
    }
    return LStore;
}

std::vector<std::unique_ptr<rapidjson::Document>> Entries(const std::vector<std::string>& AFiles) {
    std::vector<std::unique_ptr<rapidjson::Document>> LEntries;
    for (std::size_t LIndex = 0; LIndex < AFiles.size(); ++LIndex) {
        auto LDocument = std::make_unique<rapidjson::Document>();
        const std::string LText = R"({"name": "Orvane", "version": ")" + Version(LIndex) +
                                  R"(", "file": ")" + AFiles[LIndex] +
                                  R"(", "url": "file/", "bpls": "Unit5.dcu,Unit20.dcu",
            "dcps": "Unit35.dcu", "platforms": "Win32,Win64"})";
        LDocument->Parse<orvane::KAnswerParseFlags>(LText.c_str());
        LEntries.push_back(std::move(LDocument));
    }
    return LEntries;
}

double Install(const std::string& AApiUrl, const fs::path& AFolder,
               const std::vector<std::string>& AFiles, bool AOverlap, const fs::path& APreloaded) {
    auto LStore = NewSandbox(AFolder, AFiles.size());
    const std::string LDownloads = Dir(AFolder / "downloads");
    if (!APreloaded.empty()) {
        fs::create_directories(LDownloads);
        for (const std::string& LFile : AFiles) {
            fs::copy_file(APreloaded / LFile, LDownloads + LFile);
        }
    }
    auto LHost = std::make_shared<TBenchHost>();
    orvane::TInstallSettings LSettings;
    LSettings.ApiUrl = AApiUrl;
    LSettings.ExeDir = Dir(AFolder / "exe");
    LSettings.OverlapDownloads = AOverlap;
    orvane::TInstallEngine LEngine(LHost, *LStore, LSettings);
    const auto LEntries = Entries(AFiles);
    std::vector<const rapidjson::Value*> LValues;
    for (const auto& LEntry : LEntries) {
        LValues.push_back(LEntry.get());
    }
    const std::string LIDEDir = Dir(AFolder / "ide");
    const auto LStart = TClock::now();
    const orvane::TInstallRun LRun = LEngine.InstallVersions(
        LValues, [&] { return LIDEDir; }, LDownloads);
    const double LSeconds = std::chrono::duration<double>(TClock::now() - LStart).count();
    if (LRun.Failures() != 0) {
        throw std::runtime_error("installation failed: " + LRun.FailureReport);
    }
    return LSeconds;
}

// Each package as the engine fetches it: a token request, then the transfer.
double DownloadAll(const std::string& AApiUrl, const fs::path& AFolder,
                   const std::vector<std::string>& AFiles) {
    fs::remove_all(AFolder);
    fs::create_directories(AFolder);
    auto LHost = std::make_shared<orvane::TQueuedHostThread>();
    const auto LStart = TClock::now();
    for (const std::string& LFile : AFiles) {
        bool LDone = false;
        std::string LError;
        auto* LDownloader = new orvane::TDownloader(AApiUrl, "", LHost);
        LDownloader->OnCompleted = [&](orvane::TDownloader&) { LDone = true; };
        LDownloader->OnError = [&](const std::exception& AError) {
            LError = AError.what();
            LDone = true;
        };
        LDownloader->Download("file/" + LFile, orvane::Utf8FromPath(AFolder / LFile), true);
        while (!LDone) {
            LHost->WaitForWork(std::chrono::milliseconds(100));
        }
        if (!LError.empty()) {
            throw std::runtime_error("download of " + LFile + " failed: " + LError);
        }
    }
    return std::chrono::duration<double>(TClock::now() - LStart).count();
}

} // namespace

int main(int AArgc, char** AArgv) {
    std::vector<std::string> LFiles;
    int LRounds = 0;
    for (int LIndex = 3; LIndex < AArgc; ++LIndex) {
        if (std::string(AArgv[LIndex]) == "--" && LIndex + 1 < AArgc) {
            LRounds = std::atoi(AArgv[LIndex + 1]);
            break;
        }
        LFiles.push_back(AArgv[LIndex]);
    }
    if (AArgc < 4 || LFiles.empty() || LRounds <= 0) {
        std::fprintf(stderr, "usage: %s <api base url> <work folder> <package>... -- <rounds>\n",
                     AArgv[0]);
        return 2;
    }
    const std::string LApiUrl = AArgv[1];
    const fs::path LWork = AArgv[2];
    try {
        for (int LRound = 1; LRound <= LRounds; ++LRound) {
            const double LDownload = DownloadAll(LApiUrl, LWork / "downloaded", LFiles);
            std::printf("%d download %.3f\n", LRound, LDownload);
            std::fflush(stdout);
            const double LExtract =
                Install(LApiUrl, LWork / "sandbox", LFiles, false, LWork / "downloaded");
            std::printf("%d extract %.3f\n", LRound, LExtract);
            std::fflush(stdout);
            // Alternating which goes first, so neither always meets a warm cache.
            for (const bool LOverlap : {LRound % 2 == 0, LRound % 2 != 0}) {
                const double LSeconds = Install(LApiUrl, LWork / "sandbox", LFiles, LOverlap, {});
                std::printf("%d %s %.3f\n", LRound, LOverlap ? "overlapped" : "sequential",
                            LSeconds);
                std::fflush(stdout);
            }
        }
        fs::remove_all(LWork / "sandbox");
        fs::remove_all(LWork / "downloaded");
    } catch (const std::exception& AError) {
        std::fprintf(stderr, "%s\n", AError.what());
        return 1;
    }
    return 0;
}
