// The whole wizard through the real window: start, edition, package list,
// terms, Install, Done, restart, Uninstall; against the local API server and a
// sandbox registry seeded from the demo's IDE fixture.
#include "app/ActivityIndicator.h"
#include "app/PackageList.h"
#include "app/Unit1.h"
#include "app/Unit2.h"
#include "registry/DelphiLibrary.h"
#include "registry/ProductRecords.h"
#include "registry/RegFile.h"
#include "registry/Registry.h"
#include "registry/RegistryStore.h"
#include "server/Downloader.h"
#include "support/FileText.h"
#include "support/LocalApiServer.h"
#include "support/ScriptedDialogs.h"
#include "support/TempDir.h"
#include "support/WizardSandbox.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>

#include <cstdlib>
#include <map>

namespace fs = std::filesystem;
using namespace orvane;

namespace {

const std::string KBds = "SOFTWARE\\Embarcadero\\BDS\\";
const char* const KAccounts =
    R"({"accounts": [{"user": "buyer@example.org", "password": "s3cret"}]})";
const char* const KThanks = "Thank you for installing Orvane! You can now start working!";

// Every value of every key below AKey, as "key|name=data" for strings and
// "key|name:type" for other types; the way to compare an IDE's keys before
// and after.
std::map<std::string, std::string> Snapshot(TRegistryStore& AStore, const std::string& AKey) {
    std::map<std::string, std::string> result;
    TRegistry reg(AStore, raRead);
    const std::function<void(const std::string&)> walk = [&](const std::string& AAt) {
        for (const std::string& name : AStore.ValueNames(AAt)) {
            const auto value = AStore.GetValue(AAt, name);
            if (value->Type == rtSz || value->Type == rtExpandSz) {
                reg.CloseKey();
                reg.OpenKey(AAt, false);
                result[AAt + "|" + name] = reg.ReadString(name);
            } else {
                result[AAt + "|" + name] = ":" + std::to_string(value->Type);
            }
        }
        for (const std::string& sub : AStore.SubKeyNames(AAt))
            walk(AAt + "\\" + sub);
    };
    walk(AKey);
    return result;
}

class WizardEndToEnd : public testing::Test {
protected:
    static void SetUpTestSuite() {
        FServer =
            new TLocalApiServer({.Tls = false, .SamplePackages = true, .AccountsJson = KAccounts});
    }
    static void TearDownTestSuite() {
        delete FServer;
        FServer = nullptr;
    }

    void SetUp() override {
        FSandbox = FTemp.Path();
        // Everything the installer writes lands in the sandbox, install.log too.
        PrepareWizardSandbox(FSandbox);

        FStore = OpenSqliteRegistryStore(FSandbox / "registry.sqlite");
        SeedIdes();
    }

    void TearDown() override {
        TDownloader::AbortAll();
        EXPECT_EQ(FDialogs->PendingAnswers(), 0u) << "answers left over";
    }

    // The demo's two IDE versions (22.0, 23.0) with their folders.
    void SeedIdes() {
        std::string text =
            ReadFileText(TLocalApiServer::SourceDir() / "tools" / "sandbox" / "ide.reg");
        const std::string marker = "%SANDBOX%";
        for (std::size_t at; (at = text.find(marker)) != std::string::npos;)
            text.replace(at, marker.size(), FSandbox.string());
        ApplyRegFile(*FStore, ParseRegFile(text));
        for (const char* version : {"22.0", "23.0"}) {
            fs::create_directories(IdeRoot() / version / "bin");
            for (const char* sub : {"Bpl", "Dcp", "CatalogRepository"})
                fs::create_directories(CommonDir(version) / sub);
        }
    }

    fs::path IdeRoot() const { return FSandbox / "Embarcadero" / "Studio"; }
    fs::path CommonDir(const std::string& AVersion) const {
        return FSandbox / "Public" / "Documents" / "Embarcadero" / "Studio" / AVersion;
    }
    fs::path DownloadDir() const { return FSandbox / "home" / "Documents" / "Orvane"; }

    std::unique_ptr<TForm2> StartWindow() {
        TForm2Options options;
        options.ApiUrl = FServer->BaseUrl();
        options.ExeDir = FSandbox / "bin";
        options.RegistryStore = FStore;
        options.Dialogs = FDialogs;
        auto form = std::make_unique<TForm2>(options);
        // A child of the window, which deletes it.
        form->SetTermsDialog(new TForm1(form.get()));
        form->show();
        return form;
    }

    static void WaitForList(TForm2& AForm) {
        QElapsedTimer timer;
        timer.start();
        while ((AForm.ListBox1->count() == 0 || AForm.DownloadVersionsIndicator->isVisible()) &&
               timer.elapsed() < 15000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ASSERT_GT(AForm.ListBox1->count(), 0) << "the package list never arrived";
    }

    static void Tick(TForm2& AForm, const std::string& AIdeVersion) {
        for (int i = 0; i < AForm.ListBox1->count(); ++i) {
            QListWidgetItem* item = AForm.ListBox1->item(i);
            const rapidjson::Value* entry = TForm2EntryOf(item);
            if (entry && entry->HasMember("file") && (*entry)["file"].GetStringLength() > 0 &&
                std::string((*entry)["version"].GetString()) == AIdeVersion) {
                item->setCheckState(Qt::Checked);
                return;
            }
        }
        ADD_FAILURE() << "no package listed for " << AIdeVersion;
    }

    std::string SearchPath(const std::string& AVersion, const std::string& APlatform) {
        TRegistry reg(*FStore, raRead);
        EXPECT_TRUE(reg.OpenKey(KBds + AVersion + "\\Library\\" + APlatform, false));
        return reg.ReadString("Search Path");
    }

    static inline TLocalApiServer* FServer = nullptr;
    TTempDir FTemp;
    fs::path FSandbox;
    std::shared_ptr<TRegistryStore> FStore;
    std::shared_ptr<TScriptedDialogs> FDialogs = std::make_shared<TScriptedDialogs>();
};

TEST_F(WizardEndToEnd, DeveloperInstallsTwoVersionsThenUninstallsThemAgain) {
    const auto ideBefore = Snapshot(*FStore, "SOFTWARE\\Embarcadero\\BDS");

    auto form = StartWindow();
    EXPECT_TRUE(form->windowTitle().startsWith("Orvane Installer "));
    EXPECT_EQ(form->windowTitle().count('.'), 2);
    EXPECT_EQ(form->TabControl1->currentWidget(), form->TbItm_Welcome);
    EXPECT_EQ(form->InstalledVersions->text(), "Installed Versions:\r\n");
    EXPECT_FALSE(form->UninstallButton->isEnabled());

    form->DeveloperButton->click();
    EXPECT_EQ(form->TabControl1->currentWidget(), form->TbItm_Versions);
    EXPECT_EQ(form->Edit1->text().toStdString(), IdeRoot().string() + "/");
    EXPECT_EQ(form->Edit2->text().toStdString(), DownloadDir().string() + "/");
    WaitForList(*form);
    EXPECT_EQ(form->DownloadablePackagesLabel->text(), "Downloadable Packages (2 / 4)");

    Tick(*form, "22.0");
    Tick(*form, "23.0");
    FDialogs->AnswerDialog(
        [](QDialog& ADialog) { return TScriptedDialogs::ClickButton(ADialog, "I Accept"); });
    form->SpeedButton1->click();
    ASSERT_TRUE(form->CheckBox1->isChecked());

    // The sandbox IDE holds a GetIt copy of the framework: warned, removal
    // accepted, the element confirmed.
    FDialogs->AnswerYes().AnswerYes();
    form->InstallButton->click();

    EXPECT_EQ(form->TabControl1->currentWidget(), form->TbItm_Completed);
    EXPECT_EQ(form->Label4->text(), KThanks);
    ASSERT_EQ(FDialogs->Texts(dkWarning).size(), 1u);
    EXPECT_TRUE(FDialogs->Texts(dkWarning)[0].startsWith("You have installed Orvane by GetIt"));
    EXPECT_FALSE(
        FStore->KeyExists(KBds + "23.0\\CatalogRepository\\Elements\\Orvane-Framework-4.2"))
        << "the accepted GetIt element is removed";

    for (const std::string version : {"22.0", "23.0"}) {
        SCOPED_TRACE(version);
        const fs::path versionDir = DownloadDir() / version;
        const std::string versionText = versionDir.string() + "/";
        // Record.
        TOrvaneRegistryData record;
        ASSERT_TRUE(ReadRegistryData(*FStore, version, record));
        EXPECT_EQ(record.Version, "1.4.2");
        EXPECT_EQ(record.License, "DEVELOPER");
        EXPECT_EQ(record.PackageType, "DEVELOPER");
        EXPECT_EQ(record.Path, versionText);
        // Files: the zip, the extracted package, BPL/DCP in the common folder,
        // DLL and SSL libraries in the IDE's bin folder.
        EXPECT_TRUE(fs::exists(DownloadDir() / ("Orvane_" + version + "_1.4.2.zip")));
        EXPECT_TRUE(fs::exists(versionDir / "Win64" / "Release" / "C" / "hpp" / "Orvane.Core.hpp"));
        for (const char* name : {"Orvane_Core", "Orvane_Visual"}) {
            EXPECT_TRUE(fs::exists(CommonDir(version) / "Bpl" / (std::string(name) + ".bpl")));
            EXPECT_TRUE(
                fs::exists(CommonDir(version) / "Bpl" / "Win64" / (std::string(name) + ".bpl")));
            EXPECT_TRUE(fs::exists(CommonDir(version) / "Dcp" / (std::string(name) + ".dcp")));
            EXPECT_TRUE(
                fs::exists(CommonDir(version) / "Dcp" / "Win64" / (std::string(name) + ".dcp")));
        }
        for (const char* name : {"OrvaneNative.dll", "libeay32.dll", "ssleay32.dll"})
            EXPECT_TRUE(fs::exists(IdeRoot() / version / "bin" / name)) << name;
        // Known Packages: the IDE's own first, then one value per Win32 BPL.
        const auto known = FStore->ValueNames(KBds + version + "\\Known Packages");
        ASSERT_GE(known.size(), 2u);
        EXPECT_EQ(known[known.size() - 2],
                  (CommonDir(version) / "Bpl" / "Orvane_Core.bpl").string());
        EXPECT_EQ(known.back(), (CommonDir(version) / "Bpl" / "Orvane_Visual.bpl").string());
        // Search paths: the IDE's entries kept, the package's appended.
        for (const char* platform : {"Win32", "Win64"}) {
            const std::string path = SearchPath(version, platform);
            const std::string entry = versionText + platform + "/Release/;";
            EXPECT_EQ(path.substr(path.size() - entry.size()), entry);
            EXPECT_EQ(path.rfind("$(BDSLIB)\\$(Platform)\\release;", 0), 0u);
        }
        // C++ paths: the four package folders in every list the IDE has.
        TRegistry reg(*FStore, raRead);
        ASSERT_TRUE(reg.OpenKey(KBds + version + "\\C++\\Paths\\Win32", false));
        const std::string base = versionText + "Win32/Release/";
        const std::string four = base + ";" + base + "C/;" + base + "C/hpp/;" + base + "C/lib/;";
        const std::string include = reg.ReadString("IncludePath");
        EXPECT_EQ(include.substr(include.size() - four.size()), four);
    }
    const std::string log = ReadFileText(FSandbox / "bin" / "install.log");
    EXPECT_NE(log.find("Installation done."), std::string::npos);

    // Restart: the Welcome page lists both installations.
    form = StartWindow();
    const QString listed = form->InstalledVersions->text();
    EXPECT_TRUE(listed.contains("1.4.2 @ 22.0 (")) << listed.toStdString();
    EXPECT_TRUE(listed.contains("1.4.2 @ 23.0 (")) << listed.toStdString();
    ASSERT_TRUE(form->UninstallButton->isEnabled());

    FDialogs->ClearCalls();
    FDialogs->AnswerDialog(
        [](QDialog& ADialog) { return TScriptedDialogs::ClickButton(ADialog, "OK"); });
    form->UninstallButton->click();
    EXPECT_EQ(FDialogs->Texts(dkMessage), (QStringList{"Version 23.0 successfully uninstalled",
                                                       "Version 22.0 successfully uninstalled"}));
    EXPECT_TRUE(ReadInstalledVersions(*FStore).empty());
    EXPECT_EQ(form->InstalledVersions->text(), "Installed Versions:\r\n");
    EXPECT_FALSE(form->UninstallButton->isEnabled());

    // The IDE's own entries are as they were, value by value (path lists with
    // the user's text exactly, no ";" added), the framework's are gone, and
    // the removed GetIt element stays removed.
    auto ideAfter = Snapshot(*FStore, "SOFTWARE\\Embarcadero\\BDS");
    auto expected = ideBefore;
    std::erase_if(expected, [](const auto& AItem) {
        return AItem.first.find("\\CatalogRepository\\Elements\\Orvane-") != std::string::npos;
    });
    EXPECT_EQ(ideAfter, expected);

    // Files stay: only registry content is removed.
    EXPECT_TRUE(fs::exists(CommonDir("22.0") / "Bpl" / "Orvane_Core.bpl"));
    EXPECT_TRUE(fs::exists(DownloadDir() / "22.0" / "Win32" / "Release" / "Orvane_Core.bpl"));
}

TEST_F(WizardEndToEnd, CommercialLoginListsTheCommercialPackages) {
    auto form = StartWindow();
    form->CommercialButton->click();
    EXPECT_EQ(form->TabControl1->currentWidget(), form->TbItm_Credentials);
    form->Edt_User->setText("buyer@example.org");
    form->Edt_Password->setText("s3cret");
    form->LoginButton->click();
    EXPECT_EQ(form->TabControl1->currentWidget(), form->TbItm_Versions);
    EXPECT_TRUE(form->Edt_Password->text().isEmpty());
    WaitForList(*form);
    EXPECT_TRUE(FDialogs->Calls().empty());
    EXPECT_TRUE(form->ListBox1->item(0)->text().contains("GAMEPACKAGE"));
    EXPECT_EQ(form->DownloadablePackagesLabel->text(), "Downloadable Packages (2 / 4)");
    EXPECT_EQ(form->FCredentials.Mode, imCommercial);
}

TEST_F(WizardEndToEnd, AWrongCommercialLoginWarnsAndReturnsToWelcome) {
    auto form = StartWindow();
    form->CommercialButton->click();
    form->Edt_User->setText("buyer@example.org");
    form->Edt_Password->setText("wrong");
    form->LoginButton->click();

    // The token request runs inside the click, so its failure is already shown.
    ASSERT_EQ(FDialogs->Texts(dkWarning).size(), 1u);
    EXPECT_FALSE(FDialogs->Texts(dkWarning)[0].isEmpty());
    EXPECT_EQ(form->TabControl1->currentWidget(), form->TbItm_Welcome);
    EXPECT_EQ(form->FCredentials.Mode, imDeveloper);
    EXPECT_TRUE(form->FCredentials.Username.empty());
    EXPECT_TRUE(form->FCredentials.Password.empty());
    EXPECT_EQ(form->ListBox1->count(), 0);
    EXPECT_FALSE(form->DownloadVersionsIndicator->isVisible());
}

} // namespace
