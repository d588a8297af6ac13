#include "app/Unit2.h"

#include "install/InstallEngine.h"

bool TForm2::InstallPackage(const rapidjson::Value* AEntry, const QString& AIDEDir,
                            const QString& ADownloadDir) {
    return InstallEngine().InstallPackage(AEntry, AIDEDir.toStdString(),
                                          ADownloadDir.toStdString());
}
