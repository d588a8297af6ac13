// The Install button; filled in by the installation layer.
#include "app/Unit2.h"

void TForm2::InstallButtonClick() { StartInstallation(); }

void TForm2::StartInstallation() {}

void TForm2::InstallSelectedVersions() {}

void TForm2::GetSelectedVersionNames(QStringList& ANames) const { ANames.clear(); }

void TForm2::GetSelectedVersions(std::vector<const rapidjson::Value*>& AEntries) const {
    AEntries.clear();
}
