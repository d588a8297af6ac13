// TForm2's side of the GetIt clean-up, shared by the Install button and the
// uninstallation: log lines go to the install log, questions to the dialog
// service.
#include "app/Unit2.h"
#include "platform/SystemFolders.h"
#include "registry/GetItInstallations.h"

void TForm2::CleanupGetItInstallation(const QString& ABackupDir) {
    const std::string backupDir = orvane::IncludeTrailingPathDelimiter(ABackupDir.toStdString());
    orvane::CleanupGetItInstallation(
        RegistryStore(), backupDir,
        [this](const std::string& ALine) { Log(QString::fromStdString(ALine)); },
        [this](const std::string& AQuestion) {
            return Dialogs().ConfirmationQuestion(this, QString::fromStdString(AQuestion)) == mrYes;
        });
}
