// One package into one IDE version; filled in by the installation layer.
#include "app/Unit2.h"

bool TForm2::InstallPackage(const rapidjson::Value*, const QString&, const QString&) {
    return false;
}
