// Broken and hostile servers against the real window: for each fault, the
// message the user sees, a window that still works, nothing written outside
// the chosen folders nor into the IDE's Bpl, Dcp and bin folders, no partial
// file under a final name, and the IDE registry as it was. Every row runs;
// the rows that failed are listed at the end.
#include "TestZip.h"

#include "app/ActivityIndicator.h"
#include "app/Unit2.h"
#include "install/PackageSpace.h"
#include "install/ZipReader.h"
#include "registry/RegFile.h"
#include "registry/RegText.h"
#include "registry/RegistryStore.h"
#include "server/DownloadResume.h"
#include "server/Downloader.h"
#include "support/LocalApiServer.h"
#include "support/LocalProxy.h"
#include "support/NetworkSettings.h"
#include "support/ScriptedDialogs.h"
#include "support/TestCa.h"
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

const std::string CBds = "SOFTWARE\\Embarcadero\\BDS\\";

// Writes into the folder fail while this lives: its mode for a normal user,
// the immutable attribute for root (who ignores modes).
class TReadOnlyFolder {
public:
    explicit TReadOnlyFolder(fs::path AFolder) : FFolder(std::move(AFolder)) {
        if (geteuid() == 0) {
            SetImmutable(true);
        } else {
            fs::permissions(FFolder, fs::perms::owner_read | fs::perms::owner_exec);
        }
    }
    ~TReadOnlyFolder() {
        if (geteuid() == 0) {
            SetImmutable(false);
        } else {
            fs::permissions(FFolder, fs::perms::owner_all);
        }
    }
    TReadOnlyFolder(const TReadOnlyFolder&) = delete;
    TReadOnlyFolder& operator=(const TReadOnlyFolder&) = delete;

private:
    void SetImmutable(bool AOn) const {
        const int LFile = open(FFolder.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(LFile, 0);
        int LFlags = 0;
        ASSERT_EQ(ioctl(LFile, FS_IOC_GETFLAGS, &LFlags), 0);
        LFlags = AOn ? (LFlags | FS_IMMUTABLE_FL) : (LFlags & ~FS_IMMUTABLE_FL);
        ASSERT_EQ(ioctl(LFile, FS_IOC_SETFLAGS, &LFlags), 0) << "immutable attribute";
        close(LFile);
    }
    fs::path FFolder;
};

// A package download may take ABytes while this lives.
class TPackageCap {
public:
    explicit TPackageCap(std::uint64_t ABytes) : FOld(orvane::SetPackageDownloadCap(ABytes)) {}
    ~TPackageCap() { orvane::SetPackageDownloadCap(FOld); }
    TPackageCap(const TPackageCap&) = delete;
    TPackageCap& operator=(const TPackageCap&) = delete;

private:
    std::uint64_t FOld;
};

enum TPackageKind {
    pkGood,
    pkNotZip,
    pkHostile,
    pkBomb,
    pkBigEntry,
    pkManySmallZeros, // under the per-entry floor each, a bomb together
    pkDevice,         // names Windows opens as devices or folds onto others
    pkSuperscriptDevice,
    pkTrailingDot,
    pkReservedCharacters,
    pkControlCharacter,
    pkCaseDuplicate,
    pkBackslashDuplicate,
    pkExactDuplicate,
    pkLongName, // too long once ".part" is added
};
enum TSetup {
    suNone,
    suServerDown,
    suReadOnly,
    suDiskFull,
    suStall,           // short limits for a server that stops sending
    suOtherHost,       // TLS certificate for another host
    suUnknownCa,       // TLS certificate from a CA nobody trusts
    suRefusingProxy,   // the proxy refuses the tunnel to the API server
    suSmallPackageCap, // a package download may take 1 MiB
    suUsersFile,       // a file of the user's has the package's name
};

struct TFaultRow {
    const char* Label;
    const char* Kind = nullptr; // server fault, with Prefix and Code
    const char* Prefix = "";
    int Code = 0;
    TPackageKind Package = pkGood;
    TSetup Setup = suNone;
    bool ListArrives = true;      // the fault hits the package, not the list
    const char* Message = "";     // part of the warning, or of the Done page
    const char* Config = nullptr; // the configuration document; nullptr: a good one
    std::uint64_t Size = 0;       // of "huge" answers
};

class FaultMatrixTest : public testing::Test {
protected:
    // One sandbox per row: an IDE 22.0 in a fresh registry store, its
    // folders, the SSL libraries beside the "executable".
    struct TSandbox {
        TTempDir Temp;
        std::shared_ptr<orvane::TRegistryStore> Store;
        std::shared_ptr<TScriptedDialogs> Dialogs = std::make_shared<TScriptedDialogs>();
        std::unique_ptr<TForm2> Form;

        std::string Root() const { return DirText(Temp.Path()); }
        std::string IDEDir() const { return Root() + "ide/"; }
        std::string DownloadDir() const { return Root() + "downloads/"; }
        std::string CommonDir() const { return Root() + "common/22.0/"; }
    };

    static void SetUpTestSuite() {
        // A cut package is tried again: quickly here.
        FRetryPause = orvane::RetryPauseBase();
        orvane::SetRetryPauseBase(std::chrono::milliseconds(10));
        FServer = new TLocalApiServer();
        FCa = new TTestCa();
        FOtherCa = new TTestCa("Unknown Test CA");
        FTlsServer = NewTlsServer(FCa->Issue("good", "IP:127.0.0.1"));
        FOtherHostServer = NewTlsServer(FCa->Issue("other", "DNS:other.test"));
        FUnknownCaServer = NewTlsServer(FOtherCa->Issue("unknown", "IP:127.0.0.1"));
        FRefusingProxy = new TLocalProxy(TLocalProxy::pmRefuse);
    }
    static void TearDownTestSuite() {
        orvane::SetRetryPauseBase(FRetryPause);
        for (TLocalApiServer** LServer :
             {&FServer, &FTlsServer, &FOtherHostServer, &FUnknownCaServer}) {
            delete *LServer;
            *LServer = nullptr;
        }
        delete FRefusingProxy;
        delete FCa;
        delete FOtherCa;
        FRefusingProxy = nullptr;
        FCa = FOtherCa = nullptr;
    }

    static TLocalApiServer* NewTlsServer(const TTestCa::TIssued& ACertificate) {
        return TLocalApiServer::WithCertificate(ACertificate.CertFile, ACertificate.KeyFile)
            .release();
    }

    static std::string ApiUrlFor(TSetup ASetup) {
        switch (ASetup) {
        case suServerDown:
            return "http://127.0.0.1:1";
        case suOtherHost:
            return FOtherHostServer->BaseUrl();
        case suUnknownCa:
            return FUnknownCaServer->BaseUrl();
        case suRefusingProxy:
            return FTlsServer->BaseUrl();
        default:
            return FServer->BaseUrl();
        }
    }

    static std::unique_ptr<TSandbox> MakeSandbox(const std::string& AApiUrl) {
        auto LBox = std::make_unique<TSandbox>();
        const fs::path LRoot = LBox->Temp.Path();
        WriteFileText(LRoot / "exe" / "libeay32.dll", "libeay");
        WriteFileText(LRoot / "exe" / "ssleay32.dll", "ssleay");
        fs::create_directories(LRoot / "ide" / "22.0" / "bin");
        LBox->Store = orvane::OpenSqliteRegistryStore(LRoot / "registry.sqlite");
        orvane::TRegistryStore& LStore = *LBox->Store;
        const auto LString = [](const std::string& AName, const std::string& AText) {
            return orvane::TRegValue{AName, orvane::rtSz, orvane::ToUtf16Le(AText, true)};
        };
        const std::string LEnv = CBds + "22.0\\Environment Variables";
        EXPECT_TRUE(LStore.CreateKey(LEnv));
        EXPECT_TRUE(LStore.SetValue(LEnv, LString("BDSCatalogRepositoryAllUsers",
                                                  LBox->CommonDir() + "CatalogRepository")));
        EXPECT_TRUE(LStore.CreateKey(CBds + "22.0\\Known Packages"));
        EXPECT_TRUE(LStore.SetValue(CBds + "22.0\\Known Packages",
                                    LString("/elsewhere/Other.bpl", "Other")));
        for (const char* LPlatform : {"Win32", "Win64"}) {
            const std::string LLibrary = CBds + "22.0\\Library\\" + LPlatform;
            EXPECT_TRUE(LStore.CreateKey(LLibrary));
            EXPECT_TRUE(LStore.SetValue(LLibrary, LString("Search Path", "$(BDSLIB)")));
        }
        TForm2Options LOptions;
        LOptions.ApiUrl = AApiUrl;
        LOptions.ExeDir = LRoot / "exe";
        LOptions.RegistryStore = LBox->Store;
        LOptions.Dialogs = LBox->Dialogs;
        LBox->Form = std::make_unique<TForm2>(LOptions);
        return LBox;
    }

    // The zip the server hands out for the row, kept for the checks.
    static std::vector<TTestZipEntry> PackageEntries(TPackageKind AKind) {
        std::vector<TTestZipEntry> LEntries{{"Win32/Release/Orvane_Core.bpl", "core32"},
                                            {"Win32/Release/Orvane_Core.dcp", "dcp32"},
                                            {"Win32/Release/Orvane.dll", "dll"}};
        const auto LAdd = [&LEntries](const std::string& AName) {
            LEntries.push_back({AName, "x"});
        };
        if (AKind == pkHostile) {
            LEntries.push_back({"Win32/../../../escaped.txt", "bad"});
        } else if (AKind == pkManySmallZeros) {
            for (int LAt = 0; LAt < 24; ++LAt) {
                LEntries.push_back(
                    {"Win32/Release/z" + std::to_string(LAt), std::string(4u << 20, '\0')});
            }
        } else if (AKind == pkDevice) {
            LAdd("Win32/Release/COM1.txt");
        } else if (AKind == pkSuperscriptDevice) {
            LAdd("Win32/Release/LPT\xC2\xB2.bpl");
        } else if (AKind == pkTrailingDot) {
            LAdd("Win32/Release/Orvane_Core.bpl.");
        } else if (AKind == pkReservedCharacters) {
            LAdd("Win32/Release/a?b<c>|*\".txt");
        } else if (AKind == pkControlCharacter) {
            LAdd("Win32/Release/a_.txt"); // renamed once written: libzip refuses the name
        } else if (AKind == pkCaseDuplicate) {
            LAdd("WIN32/RELEASE/ORVANE_CORE.BPL");
        } else if (AKind == pkBackslashDuplicate) {
            LAdd("Win32\\Release\\Orvane_Core.bpl");
        } else if (AKind == pkExactDuplicate) {
            LAdd("Win32/Release/Orvane_Core.bpX"); // renamed to the BPL's name once written
        } else if (AKind == pkLongName) {
            LAdd("Win32/Release/" + std::string(251, 'n'));
        } else if (AKind == pkBomb) {
            LEntries.push_back({"Win32/Release/zeros.bin", std::string(64u << 20, '\0')});
        } else if (AKind == pkBigEntry) {
            LEntries.insert(LEntries.begin(),
                            {"Win32/Release/big.bin", std::string(3u << 20, '\0')});
        }
        return LEntries;
    }

    static void WaitUntil(const std::function<bool()>& ADone) {
        const auto LEnd = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!ADone() && std::chrono::steady_clock::now() < LEnd) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    static void WaitForList(TForm2& AForm) {
        WaitUntil([&] {
            return orvane::TDownloader::ActiveTransfers() == 0 &&
                   AForm.DownloadVersionsIndicator->isHidden();
        });
    }

    // Every file and folder of the sandbox outside the folders the user chose
    // (download folder, IDE folder) and the IDE common folder.
    static std::vector<std::string> Outside(const TSandbox& ABox) {
        std::vector<std::string> LResult;
        for (const std::string& LItem : ListTree(ABox.Temp.Path())) {
            if (LItem.rfind("downloads/", 0) != 0 && LItem.rfind("ide/", 0) != 0 &&
                LItem.rfind("common/", 0) != 0 && LItem != "exe/install.log") {
                LResult.push_back(LItem);
            }
        }
        return LResult;
    }

    // Everything in the IDE's Bpl, Dcp and bin folders: a failed version adds nothing.
    static std::vector<std::string> IdeFolders(const TSandbox& ABox) {
        std::vector<std::string> LResult;
        for (const fs::path& LFolder :
             {fs::path(ABox.CommonDir()) / "Bpl", fs::path(ABox.CommonDir()) / "Dcp",
              fs::path(ABox.IDEDir()) / "22.0" / "bin"}) {
            LResult.push_back(LFolder.string() + (fs::exists(LFolder) ? "" : " (absent)"));
            if (fs::exists(LFolder)) {
                for (const std::string& LItem : ListTree(LFolder)) {
                    LResult.push_back(LItem);
                }
            }
        }
        return LResult;
    }

    static inline TLocalApiServer* FServer = nullptr;
    static inline TTestCa* FCa = nullptr;
    static inline TTestCa* FOtherCa = nullptr;
    static inline TLocalApiServer* FTlsServer = nullptr;       // trusted, for 127.0.0.1
    static inline TLocalApiServer* FOtherHostServer = nullptr; // trusted CA, other host
    static inline TLocalApiServer* FUnknownCaServer = nullptr;
    static inline TLocalProxy* FRefusingProxy = nullptr;
    static inline std::chrono::milliseconds FRetryPause{};
};

TEST_F(FaultMatrixTest, EveryFaultFailsCleanlyAndLeavesAUsableWindow) {
    const std::string CConfig =
        R"({"ide": [{"name": "Orvane 22", "version": "22.0", "url": "file/", "file": "a.zip",
        "bpls": "Orvane_Core.bpl", "dcps": "Orvane_Core.dcp", "dlls": "Win32/Release/Orvane.dll",
        "platforms": "Win32"}]})";
    const char* const CStatus = "The requested URL returned error: ";
    std::vector<TFaultRow> LRawRows;
    const std::string CNestingBomb = R"({"ide": )" + std::string(200000, '[');
    const auto LWithMember = [&CConfig](const std::string& AMember) {
        return std::string(R"({"ide": [{)") + AMember + ", " +
               CConfig.substr(CConfig.find("\"name\""));
    };
    const std::string CConfigWithSha = LWithMember(R"("sha256": ")" + std::string(64, 'a') + "\"");
    std::string LPlatforms = "Win32";
    for (int LAt = 0; LAt < 64; ++LAt) {
        LPlatforms += ",P" + std::to_string(LAt);
    }
    const std::string CManyPlatforms = LWithMember(R"("platforms": ")" + LPlatforms + "\"");
    std::string CManyEntries = R"({"ide": [)";
    for (int LAt = 0; LAt < 100000; ++LAt) {
        CManyEntries += std::string(LAt ? "," : "") + R"({"name": "n"})";
    }
    CManyEntries += "]}";
    const std::string CHugeVersion =
        LWithMember(R"("version": ")" + std::string(4u << 20, '2') + "\"");
    const std::string CLongBpl = LWithMember(R"("bpls": ")" + std::string(247, 'b') + ".bpl\"");
    for (const char* LKind : {"lf-status", "switch", "redirect-body"}) {
        for (const char* LPrefix : {"/token/", "/cfg/", "/file/"}) {
            LRawRows.push_back({.Label = LKind,
                                .Kind = LKind,
                                .Prefix = LPrefix,
                                .Code = std::string(LKind) == "lf-status" ? 404 : 0,
                                .ListArrives = std::string(LPrefix) == "/file/",
                                .Message = "The requested URL returned error: "});
        }
    }
    std::vector<TFaultRow> LRows = {
        {.Label = "server down",
         .Setup = suServerDown,
         .ListArrives = false,
         .Message = "127.0.0.1 port 1"},
        {.Label = "token not JSON",
         .Kind = "nonjson",
         .Prefix = "/token/",
         .ListArrives = false,
         .Message = "failed to retrieve api token"},
        {.Label = "token not an object",
         .Kind = "nonobject",
         .Prefix = "/token/",
         .ListArrives = false,
         .Message = "failed to retrieve api token"},
        {.Label = "configuration cut short",
         .Kind = "truncated",
         .Prefix = "/cfg/",
         .ListArrives = false,
         .Message = "transfer closed"},
        {.Label = "configuration not JSON",
         .Kind = "nonjson",
         .Prefix = "/cfg/",
         .ListArrives = false,
         .Message = "Failed to read configuration from server!"},
        {.Label = "configuration not an object",
         .Kind = "nonobject",
         .Prefix = "/cfg/",
         .ListArrives = false,
         .Message = "Failed to read configuration from server!"},
        {.Label = "package cut short",
         .Kind = "truncated",
         .Prefix = "/file/",
         .Message = "Failed to download package: a.zip"},
        {.Label = "package not a zip", .Package = pkNotZip, .Message = "Cannot open zip file"},
        {.Label = "zip with a hostile entry",
         .Package = pkHostile,
         .Message = "\"Win32/../../../escaped.txt\""},
        {.Label = "zip bomb",
         .Package = pkBomb,
         // Refused for its size, not for anything else about it.
         .Message = "compressed, beyond any real file: the archive is refused"},
        {.Label = "zip bomb of many small entries",
         .Package = pkManySmallZeros,
         .Message = "beyond any real package: the archive is refused"},
        {.Label = "zip entry named like a device",
         .Package = pkDevice,
         .Message = "\"COM1.txt\": it is a reserved device name"},
        {.Label = "zip entry named like a device with a superscript digit",
         .Package = pkSuperscriptDevice,
         .Message = "it is a reserved device name"},
        {.Label = "zip entry ending in a dot",
         .Package = pkTrailingDot,
         .Message = "it ends with a dot or a blank"},
        {.Label = "zip entry with characters Windows forbids",
         .Package = pkReservedCharacters,
         .Message = "not allowed in file names"},
        {.Label = "zip entry with a control character",
         .Package = pkControlCharacter,
         .Message = "not allowed in file names"},
        {.Label = "zip entries equal but for case",
         .Package = pkCaseDuplicate,
         .Message = "name the same file on Windows"},
        {.Label = "zip entries equal but for the separator",
         .Package = pkBackslashDuplicate,
         .Message = "name the same file on Windows"},
        {.Label = "zip entries of one name",
         .Package = pkExactDuplicate,
         .Message = "name the same file on Windows"},
        {.Label = "zip entry too long for its temporary name",
         .Package = pkLongName,
         .Message = "the name is too long"},
        {.Label = "token answer of 300 MB",
         .Kind = "huge",
         .Prefix = "/token/",
         .ListArrives = false,
         .Message = "(the most a token answer can be)",
         .Size = 300u << 20},
        {.Label = "configuration of 300 MB",
         .Kind = "huge",
         .Prefix = "/cfg/",
         .ListArrives = false,
         .Message = "(the most a configuration can be)",
         .Size = 300u << 20},
        {.Label = "package without end",
         .Kind = "endless",
         .Prefix = "/file/",
         .Setup = suSmallPackageCap,
         .Message = "larger than 1.0 MiB (the most a package can be)"},
        {.Label = "a file of the user's under the package's name",
         .Setup = suUsersFile,
         .Message = "it was kept, and the version is not installed",
         .Config = CConfigWithSha.c_str()},
        {.Label = "more platforms than an IDE has",
         .Message = "more than an IDE can have (at most 64)",
         .Config = CManyPlatforms.c_str()},
        {.Label = "more entries than the list shows",
         .ListArrives = false,
         .Message = "more than the installer shows",
         .Config = CManyEntries.c_str()},
        {.Label = "a version of 4 MB",
         .Message = "Unusable \"version\" in the package entry",
         .Config = CHugeVersion.c_str()},
        {.Label = "a BPL name too long for its temporary name",
         .Message = "the name is too long",
         .Config = CLongBpl.c_str()},
        {.Label = "disk full",
         .Package = pkBigEntry,
         .Setup = suDiskFull,
         .Message = "File too large"},
        {.Label = "read-only download folder",
         .Setup = suReadOnly,
         .Message = "Failed to download package: a.zip"},
        {.Label = "configuration nested too deep",
         .ListArrives = false,
         .Message = "Failed to read configuration from server!",
         .Config = CNestingBomb.c_str()},
        {.Label = "configuration stalls after the headers",
         .Kind = "stall",
         .Prefix = "/cfg/",
         .Setup = suStall,
         .ListArrives = false,
         .Message = "No data received from the server"},
        {.Label = "package stalls after the headers",
         .Kind = "stall",
         .Prefix = "/file/",
         .Setup = suStall,
         .Message = "No data received from the server"},
        {.Label = "certificate for another host",
         .Setup = suOtherHost,
         .ListArrives = false,
         .Message = "certificate subject name"},
        {.Label = "certificate from an unknown CA",
         .Setup = suUnknownCa,
         .ListArrives = false,
         .Message = "SSL certificate problem"},
        {.Label = "proxy refuses",
         .Setup = suRefusingProxy,
         .ListArrives = false,
         .Message = "refused the connection"},
    };
    LRows.insert(LRows.end(), LRawRows.begin(), LRawRows.end());
    for (const int LCode : {401, 403, 404, 500}) {
        for (const char* LPrefix : {"/token/", "/cfg/", "/file/"}) {
            LRows.push_back({.Label = LPrefix,
                             .Kind = "status",
                             .Prefix = LPrefix,
                             .Code = LCode,
                             .ListArrives = std::string(LPrefix) == "/file/",
                             .Message = CStatus});
        }
    }

    // Each row in a function of its own: a failed assertion ends that row only.
    const auto LRunRow = [&](const TFaultRow& LRow) {
        FServer->Clear();
        FServer->WriteConfig("dev", LRow.Config ? LRow.Config : CConfig);
        TScopedHttpSettings LSettings;
        LSettings.TestCa(FCa->CertFile().string());
        if (LRow.Setup == suStall) {
            LSettings.Limits(std::chrono::seconds(5), std::chrono::seconds(1));
        }
        const std::vector<TTestZipEntry> LEntries = PackageEntries(LRow.Package);
        auto LBox = MakeSandbox(ApiUrlFor(LRow.Setup));
        TForm2& LForm = *LBox->Form;
        const fs::path LMadeZip = LBox->Temp.Path() / "served.zip";
        WriteTestZip(LMadeZip, LEntries);
        if (LRow.Package == pkExactDuplicate) {
            RenameEntry(LMadeZip, "Win32/Release/Orvane_Core.bpX", "Win32/Release/Orvane_Core.bpl");
        } else if (LRow.Package == pkControlCharacter) {
            RenameEntry(LMadeZip, "Win32/Release/a_.txt", "Win32/Release/a\t.txt");
        }
        FServer->WriteFile("a.zip", LRow.Package == pkNotZip ? std::string("not a zip at all")
                                                             : ReadFileText(LMadeZip));
        if (LRow.Kind) {
            FServer->SetFault(LRow.Kind, LRow.Prefix, -1, LRow.Code, 50, 3000, LRow.Size);
        }
        const fs::path LPackage = fs::path(LBox->DownloadDir()) / "a.zip";
        if (LRow.Setup == suUsersFile) {
            WriteFileText(LPackage, "the user's own file");
            LBox->Dialogs->AnswerNo(); // keep it
        }
        std::optional<TPackageCap> LCap;
        if (LRow.Setup == suSmallPackageCap) {
            LCap.emplace(1u << 20);
        }
        const std::string LRegistryBefore = orvane::ExportRegText(*LBox->Store, "SOFTWARE");
        const std::vector<std::string> LOutsideBefore = Outside(*LBox);
        const std::vector<std::string> LIdeFoldersBefore = IdeFolders(*LBox);

        {
            // Only the window's requests go through the proxy, not the test's own.
            TScopedEnv LEnv;
            if (LRow.Setup == suRefusingProxy) {
                UseProxy(LEnv, FRefusingProxy->Url());
            }
            LForm.DeveloperButton->click();
            WaitForList(LForm);
        }

        QString LSeen;
        if (!LRow.ListArrives) {
            ASSERT_EQ(LBox->Dialogs->Texts(dkWarning).size(), 1)
                << LForm.ListBox1->count() << " entries listed";
            LSeen = LBox->Dialogs->Texts(dkWarning)[0];
            EXPECT_EQ(LForm.ListBox1->count(), 0);
            EXPECT_EQ(LForm.TabControl1->currentWidget(), LForm.TbItm_Versions);
            // Still usable: back to Welcome, and once the server behaves, the list.
            FServer->Clear();
            LForm.InstallBackButton->click();
            EXPECT_EQ(LForm.TabControl1->currentWidget(), LForm.TbItm_Welcome);
            FServer->WriteConfig("dev", CConfig);
            if (LRow.Setup == suNone || LRow.Setup == suStall) {
                LForm.DeveloperButton->click();
                WaitForList(LForm);
                EXPECT_EQ(LForm.ListBox1->count(), 1);
            }
        } else {
            ASSERT_EQ(LForm.ListBox1->count(), 1)
                << LBox->Dialogs->Texts(dkWarning).join("\n").toStdString();
            LForm.Edit1->setText(QString::fromStdString(LBox->IDEDir()));
            LForm.Edit2->setText(QString::fromStdString(LBox->DownloadDir()));
            LForm.CheckBox1->setChecked(true);
            LForm.ListBox1->item(0)->setCheckState(Qt::Checked);
            fs::create_directories(LBox->DownloadDir());
            {
                std::optional<TReadOnlyFolder> LReadOnly;
                std::optional<TFileSizeLimit> LLimit;
                if (LRow.Setup == suReadOnly) {
                    LReadOnly.emplace(LBox->DownloadDir());
                } else if (LRow.Setup == suDiskFull) {
                    LLimit.emplace(1u << 20);
                }
                LForm.InstallButtonClick();
            }
            LSeen = LForm.Label4->text();
            EXPECT_EQ(LForm.TabControl1->currentWidget(), LForm.TbItm_Completed);
            EXPECT_TRUE(LForm.FinishButton->isEnabled());
            EXPECT_FALSE(LForm.IsClosing());
            // What was extracted is whole: each file as long as its entry.
            orvane::TZipReader LZip;
            if (LRow.Package != pkNotZip) {
                LZip.Open(LMadeZip.string());
                for (std::int64_t LIndex = 0; LIndex < LZip.Count(); ++LIndex) {
                    const fs::path LFile =
                        fs::path(LBox->DownloadDir()) / "22.0" / LZip.Name(LIndex);
                    if (fs::is_regular_file(LFile)) {
                        EXPECT_EQ(fs::file_size(LFile), LZip.DeclaredSize(LIndex)) << LFile;
                    }
                }
            }
            if (LRow.Setup == suUsersFile) {
                EXPECT_EQ(ReadFileText(LPackage), "the user's own file");
                EXPECT_EQ(LBox->Dialogs->Texts(dkWarningQuestion).size(), 1);
            } else if (fs::exists(LPackage) && LRow.Package != pkNotZip) {
                EXPECT_EQ(ReadFileText(LPackage), ReadFileText(LMadeZip));
            }
        }

        EXPECT_THAT(LSeen.toStdString(), HasSubstr(LRow.Message));
        // A hostile value is cut before it is shown.
        EXPECT_LT(LSeen.size(), 2000);
        for (const std::string& LItem : ListTree(LBox->Temp.Path())) {
            EXPECT_FALSE(LItem.ends_with(".part")) << LItem;
        }
        EXPECT_EQ(Outside(*LBox), LOutsideBefore);
        EXPECT_EQ(IdeFolders(*LBox), LIdeFoldersBefore);
        EXPECT_FALSE(fs::exists(LBox->Temp.Path() / "escaped.txt"));
        EXPECT_EQ(orvane::ExportRegText(*LBox->Store, "SOFTWARE"), LRegistryBefore);
        LBox->Form.reset();
    };

    std::vector<std::string> LFailedRows;
    const testing::TestResult& LResult =
        *testing::UnitTest::GetInstance()->current_test_info()->result();
    for (const TFaultRow& LRow : LRows) {
        const std::string LLabel = std::string(LRow.Label) +
                                   (LRow.Code ? " " + std::to_string(LRow.Code) : "") +
                                   (*LRow.Prefix ? std::string(" ") + LRow.Prefix : "");
        SCOPED_TRACE(LLabel);
        const int LFailuresBefore = LResult.total_part_count();
        LRunRow(LRow);
        if (LResult.total_part_count() != LFailuresBefore) {
            LFailedRows.push_back(LLabel);
        }
    }
    EXPECT_THAT(LFailedRows, testing::IsEmpty())
        << LFailedRows.size() << " of " << LRows.size() << " rows failed";
}

} // namespace
