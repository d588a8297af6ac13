#include "app/Unit2.h"

#include "install/FileOperations.h"
#include "platform/SystemFolders.h"
#include "registry/GetItInstallations.h"
#include "server/PackageList.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

#include <exception>

namespace {

QString WithTrailingDelimiter(const QString& ADir) {
    return QString::fromStdString(orvane::IncludeTrailingPathDelimiter(ADir.toStdString()));
}

} // namespace

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
    if (!ConfirmNoRunningIDE(QStringLiteral("installation"))) {
        return;
    }
    // A broken registry must not take the window down from inside a button handler.
    try {
        if (orvane::HasGetItInstallation(RegistryStore())) {
            ShowWarning(QStringLiteral("You have installed Orvane by GetIt Package Manager. Please "
                                       "uninstall first before continuing."));
            if (Dialogs().ConfirmationQuestion(
                    this, QStringLiteral("Orvane Installer offers to remove those registry entries "
                                         "manually.\r\nCAUTION: Removing those entries might cause "
                                         "path conflicts. Use it only to cleanup your "
                                         "installations!\r\nDo you want to remove those registry "
                                         "entries manually now?")) != mrYes) {
                return;
            }
            // The backups go where the packages will go, which may not exist yet.
            orvane::ForceDirectories(WithTrailingDelimiter(Edit2->text()).toStdString());
            CleanupGetItInstallation(Edit2->text());
        }
    } catch (const std::exception& AError) {
        ShowWarning(QString::fromStdString(AError.what()));
        return;
    }
    SwitchPage(wpInstall);
    InstallSelectedVersions();
}

void TForm2::InstallSelectedVersions() {
    // The entries below point into FConfig.
    const TBusyScope LBusy(*this);
    const QString LDownloadDir = WithTrailingDelimiter(Edit2->text());
    int LFailures = 0;
    QString LReport;
    std::vector<const rapidjson::Value*> LEntries;
    GetSelectedVersions(LEntries);

    for (std::size_t LIndex = 0; LIndex < LEntries.size(); ++LIndex) {
        if (IsClosing()) {
            Log(QStringLiteral("Installation stopped: the window was closed; %1 version(s) not "
                               "installed.")
                    .arg(LEntries.size() - LIndex));
            return;
        }
        try {
            if (!InstallPackage(LEntries[LIndex], Edit1->text(), LDownloadDir)) {
                ++LFailures;
                LReport += ProgressLabel->text() + QStringLiteral("\r\n\r\n");
            }
        } catch (const std::exception& AError) {
            // Shown at once, and kept for the Done page: this version is not installed.
            const QString LMessage = QString::fromStdString(AError.what());
            Log(QStringLiteral("<ERROR> ") + LMessage);
            ShowWarning(LMessage);
            ++LFailures;
            LReport += LMessage + QStringLiteral("\r\n\r\n");
        }
    }

    if (LFailures > 0) {
        Label4->setText(LReport);
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
