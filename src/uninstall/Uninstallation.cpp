// The Uninstall button; filled in by the uninstallation layer.
#include "app/Unit2.h"

void TForm2::UninstallButtonClick() {}

void TForm2::UninstallVersion(const QString&) {}
