// TForm2's directory defaults on the Versions page.
#include "app/Unit2.h"

#include "registry/IDELocations.h"

#include <QLineEdit>

void TForm2::SetDefaultIDEDir() {
    // No IDE found: Edit1 keeps its text.
    if (const auto dir = orvane::FindDefaultIDEDir(RegistryStore())) {
        Edit1->setText(QString::fromStdString(*dir));
    }
}

void TForm2::SetDefaultDownloadDir() {
    Edit2->setText(QString::fromStdString(orvane::DefaultDownloadDir()));
}
