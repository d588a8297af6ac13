#include "app/Unit2.h"

#include "app/WindowInstallHost.h"
#include "install/InstallEngine.h"
#include "platform/FileNames.h"
#include "platform/SystemFolders.h"
#include "app/PackageList.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

#include <string>
#include <utility>

namespace {

std::string WithTrailingDelimiter(const QString& ADir) {
    return orvane::IncludeTrailingPathDelimiter(ADir.toStdString());
}

} // namespace

orvane::TInstallEngine TForm2::InstallEngine() {
    orvane::TInstallSettings LSettings;
    LSettings.ApiUrl = ApiUrl();
    LSettings.Credentials = FCredentials;
    LSettings.ExeDir = orvane::Utf8FromPath(ExeDir());
    LSettings.IDEProcessName = FOptions.IDEProcessName;
    return orvane::TInstallEngine(FInstallHost, RegistryStore(), std::move(LSettings));
}

void TForm2::RecoverInterruptedInstallations() {
    // The journals are read before anything else touches the IDE's registry;
    // the window holds the store to itself from its start.
    try {
        InstallEngine().RecoverUnfinished();
    } catch (const std::exception& AError) {
        ShowWarning(QString::fromUtf8(AError.what()));
    }
}

void TForm2::InstallButtonClick() {
    StartInstallation();
}

void TForm2::StartInstallation() {
    const TBusyScope LBusy(*this);
    if (!CheckBox1->isChecked()) {
        ShowWarning(
            QStringLiteral("You need to accept the terms and conditions before installing."));
        return;
    }
    QStringList LNames;
    GetSelectedVersionNames(LNames);
    if (LNames.isEmpty()) {
        ShowWarning(QStringLiteral("You need to select at least one version to be installed."));
        return;
    }
    // Both folders as the installer will write below them: an empty field
    // must not become the drive's root, a relative one is shown absolute.
    for (const auto& [LEdit, LWhat] : {std::pair{Edit1, "The \"Delphi IDE Directory\""},
                                       std::pair{Edit2, "The \"Install Directory\""}}) {
        std::string LFolder;
        std::string LError;
        if (!orvane::AbsoluteFolder(LEdit->text().toStdString(), LWhat, LFolder, LError)) {
            ShowWarning(QString::fromStdString(LError));
            return;
        }
        LEdit->setText(QString::fromStdString(LFolder));
    }
    if (!InstallEngine().PrepareInstallation(WithTrailingDelimiter(Edit2->text()))) {
        return;
    }
    SwitchPage(wpInstall);
    InstallSelectedVersions();
}

void TForm2::InstallSelectedVersions() {
    // The entries below point into FConfig.
    const TBusyScope LBusy(*this);
    std::vector<const rapidjson::Value*> LEntries;
    GetSelectedVersions(LEntries);
    const orvane::TInstallRun LRun = InstallEngine().InstallVersions(
        LEntries, [this] { return Edit1->text().toStdString(); },
        WithTrailingDelimiter(Edit2->text()));
    if (LRun.Stopped) {
        return;
    }
    if (LRun.Failures() > 0) {
        Label4->setText(QString::fromStdString(LRun.FailureReport));
    } else {
        Label4->setText(
            QStringLiteral("Thank you for installing Orvane! You can now start working!"));
    }
    SwitchPage(wpDone);
}

void TForm2::GetSelectedVersionNames(QStringList& ANames) const {
    ANames.clear();
    for (int LRow = 0; LRow < ListBox1->count(); ++LRow) {
        const QListWidgetItem* LItem = ListBox1->item(LRow);
        if (LItem->checkState() == Qt::Checked) {
            ANames << LItem->text();
        }
    }
}

void TForm2::GetSelectedVersions(std::vector<const rapidjson::Value*>& AEntries) const {
    AEntries.clear();
    for (int LRow = 0; LRow < ListBox1->count(); ++LRow) {
        const QListWidgetItem* LItem = ListBox1->item(LRow);
        if (LItem->checkState() == Qt::Checked) {
            AEntries.push_back(TForm2EntryOf(LItem));
        }
    }
}
