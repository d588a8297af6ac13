#include "app/Unit2.h"
#include "registry/RegText.h"
#include "registry/RegistryStore.h"
#include "support/ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTemporaryDir>

#include <cstdlib>
#include <map>

namespace {

class IDELocationsFormTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FTemp.isValid());
        FRoot = FTemp.path().toStdString();
        std::filesystem::create_directories(FRoot / "bin");
        FStore = orvane::OpenSqliteRegistryStore(FRoot / "reg.sqlite");
        setenv("XDG_DOCUMENTS_DIR", (FRoot / "Documents").c_str(), 1);
    }

    void SetInstallDir(const std::string& AVersion, const std::string& ADir) {
        const std::string key = "SOFTWARE\\Embarcadero\\BDS\\" + AVersion + "\\Maintenance";
        ASSERT_TRUE(FStore->CreateKey(key));
        orvane::TRegValue value;
        value.Name = "InstallDir";
        value.Type = orvane::rtSz;
        value.Data = orvane::ToUtf16Le(ADir, true);
        ASSERT_TRUE(FStore->SetValue(key, value));
    }

    std::unique_ptr<TForm2> NewForm() {
        TForm2Options options;
        options.ApiUrl = "http://127.0.0.1:1";
        options.ExeDir = FRoot / "bin";
        options.RegistryStore = FStore;
        options.Dialogs = std::make_shared<TScriptedDialogs>();
        return std::make_unique<TForm2>(std::move(options));
    }

    QTemporaryDir FTemp;
    std::filesystem::path FRoot;
    std::shared_ptr<orvane::TRegistryStore> FStore;
};

TEST_F(IDELocationsFormTest, VersionsPageShowsTheNewestIDEAndTheDownloadFolder) {
    SetInstallDir("22.0", (FRoot / "Studio" / "22.0").string());
    SetInstallDir("23.0", (FRoot / "Studio23" / "23.0").string());
    auto form = NewForm();
    form->SwitchPage(wpVersions);
    EXPECT_EQ(form->Edit1->text().toStdString(), (FRoot / "Studio23").string() + "/");
    EXPECT_EQ(form->Edit2->text().toStdString(), (FRoot / "Documents" / "Orvane").string() + "/");

    // Entering the page again brings the defaults back.
    form->Edit1->setText("/elsewhere/");
    form->Edit2->setText("/elsewhere/");
    form->SwitchPage(wpWelcome);
    form->SwitchPage(wpVersions);
    EXPECT_EQ(form->Edit1->text().toStdString(), (FRoot / "Studio23").string() + "/");
    EXPECT_EQ(form->Edit2->text().toStdString(), (FRoot / "Documents" / "Orvane").string() + "/");
}

TEST_F(IDELocationsFormTest, WithoutAnIDEThePreviousTextStays) {
    SetInstallDir("18.0", (FRoot / "Studio" / "18.0").string());
    auto form = NewForm();
    const QString initial = form->Edit1->text();
    form->SwitchPage(wpVersions);
    EXPECT_EQ(form->Edit1->text(), initial);
    form->Edit1->setText("/picked/by/user/");
    form->SwitchPage(wpWelcome);
    form->SwitchPage(wpVersions);
    EXPECT_EQ(form->Edit1->text(), QStringLiteral("/picked/by/user/"));
}

} // namespace
