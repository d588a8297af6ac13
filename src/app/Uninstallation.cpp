// The Uninstall button of the Welcome page: the user picks recorded IDE
// versions, and the engine removes their registry entries and records. Files
// stay.
#include "app/OptionSelectDialog.h"
#include "app/Unit2.h"
#include "install/InstallEngine.h"

#include <QPushButton>

#include <string>
#include <vector>

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
            // The dialog hands the values over last option first; they are
            // removed in that order.
            std::vector<std::string> versions;
            for (const QString& ideVersion : AValues)
                versions.push_back(ideVersion.toStdString());
            if (InstallEngine().UninstallVersions(versions).Stopped)
                return;
            RefreshInstalledVersions();
        });
}

void TForm2::UninstallVersion(const QString& AIDEVersion) {
    InstallEngine().UninstallVersion(AIDEVersion.toStdString());
}
