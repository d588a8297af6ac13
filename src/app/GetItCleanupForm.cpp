// TForm2's side of the GetIt clean-up, shared by the Install button and the
// uninstallation: the engine logs through the window and asks through its
// dialog service.
#include "app/Unit2.h"

#include "install/InstallEngine.h"

void TForm2::CleanupGetItInstallation(const QString& ABackupDir) {
    InstallEngine().CleanupGetItInstallation(ABackupDir.toStdString());
}
