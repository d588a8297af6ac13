// The Uninstall button of the Welcome page: the user picks recorded IDE
// versions, and their registry entries and records are removed. Files stay.
#include "app/OptionSelectDialog.h"
#include "app/Unit2.h"
#include "registry/CppPaths.h"
#include "registry/DelphiLibrary.h"
#include "registry/IDEKeys.h"
#include "registry/IDELocations.h"
#include "registry/ProductRecords.h"
#include "registry/X64Packages.h"

#include <QPushButton>

#include <exception>
#include <stdexcept>

namespace {

// Log pumps events while an uninstallation runs from the Welcome page; a click
// there would start a second flow inside this one. The page's buttons stay off
// until the run ends, then Uninstall follows the refreshed list.
class TWelcomeButtonsOff {
public:
    explicit TWelcomeButtonsOff(TForm2& AForm) : FForm(AForm) { SetEnabled(false, false); }
    ~TWelcomeButtonsOff() { SetEnabled(true, !FForm.FInstalledVersions.empty()); }
    TWelcomeButtonsOff(const TWelcomeButtonsOff&) = delete;
    TWelcomeButtonsOff& operator=(const TWelcomeButtonsOff&) = delete;

private:
    void SetEnabled(bool AEditions, bool AUninstall) {
        FForm.DeveloperButton->setEnabled(AEditions);
        FForm.CommercialButton->setEnabled(AEditions);
        FForm.UninstallButton->setEnabled(AUninstall);
    }

    TForm2& FForm;
};

} // namespace

void TForm2::UninstallButtonClick() {
    const TBusyScope LBusy(*this);
    if (FInstalledVersions.empty()) {
        Dialogs().Message(this, QStringLiteral("No installations found to be uninstalled"));
        return;
    }

    QStringList options;
    QStringList values;
    for (const auto& record : FInstalledVersions) {
        const QString ideVersion = QString::fromStdString(record.IDEVersion);
        options << QStringLiteral("%1 (%2)").arg(
            ideVersion, record.ReadError.empty() ? QString::fromStdString(record.Version)
                                                 : QStringLiteral("the record cannot be read"));
        values << ideVersion;
    }

    TMultipleOptionSelectDialog::Execute(
        Dialogs(), QStringLiteral("Which versions you would like to uninstall?"), options, values,
        [this](int AModalResult, const QStringList& AValues) {
            if (AModalResult != mrOk)
                return;
            const TWelcomeButtonsOff LButtonsOff(*this);
            if (!AValues.isEmpty() && !ConfirmNoRunningIDE(QStringLiteral("uninstallation")))
                return;
            // The dialog hands the values over last option first; they are
            // removed in that order.
            for (const QString& ideVersion : AValues) {
                QString outcome;
                try {
                    UninstallVersion(ideVersion);
                    outcome = QStringLiteral("Version %1 successfully uninstalled").arg(ideVersion);
                } catch (const std::exception& error) {
                    outcome = QStringLiteral("Failed to uninstall version %1 - %2")
                                  .arg(ideVersion, QString::fromUtf8(error.what()));
                }
                Dialogs().Message(this, outcome);
            }
            RefreshInstalledVersions();
        });
}

void TForm2::UninstallVersion(const QString& AIDEVersion) {
    const std::string ideVersion = AIDEVersion.toStdString();
    orvane::TRegistryStore& store = RegistryStore();

    Log(QStringLiteral("Uninstallation started ..."));
    // The download folder of the installation is not known here; its record says
    // where the package was extracted, which is inside it.
    orvane::TOrvaneRegistryData record;
    try {
        orvane::ReadRegistryData(store, ideVersion, record);
    } catch (const std::exception&) {
        // An unreadable record is removed all the same; its backup goes to the
        // default download folder.
        record = {};
    }
    // The recorded folder may be gone (an unplugged drive, a removed share); the
    // version must stay removable, so the default download folder takes over.
    if (const QString failure = BackupIDERegistry(
            ideVersion, "uninstall", orvane::IDEBackupKeys(ideVersion, orvane::KLibraryPlatforms),
            UninstallBackupFolder(record), BackupFolder(orvane::DefaultDownloadDir()));
        !failure.isEmpty()) {
        throw std::runtime_error(failure.toStdString());
    }
    CleanupGetItInstallation(QString::fromStdU16String(ExeDir().u16string()));

    Log(QStringLiteral("Removing Delphi registry entries for \"%1\"").arg(AIDEVersion));
    orvane::UnregisterDelphiLibrary(store, ideVersion);

    Log(QStringLiteral("Removing CPP registry entries for \"%1\"").arg(AIDEVersion));
    orvane::UnregisterCppPaths(store, ideVersion);
    // Whichever of the 64-bit IDE's lists exists is cleaned, also the disabled
    // one alone.
    if (orvane::HasX64PackageKeys(store, ideVersion)) {
        Log(QStringLiteral("Removing 64-bit IDE registry entries for \"%1\"").arg(AIDEVersion));
        orvane::UnregisterX64Packages(store, ideVersion);
    }
    Log(QStringLiteral("Removing IDE registry entries done"));

    // The record goes last, so a version whose removal failed stays listed.
    Log(QStringLiteral("Deleting Orvane registry entry for \"%1\"").arg(AIDEVersion));
    orvane::DeleteRegistryData(store, ideVersion);
    Log(QStringLiteral("Deleting Orvane registry entry done"));
    Log(QStringLiteral("Uninstallation done"));
}
