#include "app/PackageList.h"

#include <QListWidgetItem>
#include <QVariant>

const rapidjson::Value* TForm2EntryOf(const QListWidgetItem* AItem) {
    if (!AItem) {
        return nullptr;
    }
    return reinterpret_cast<const rapidjson::Value*>(AItem->data(Qt::UserRole).value<quintptr>());
}

void TForm2AttachEntry(QListWidgetItem* AItem, const rapidjson::Value* AEntry) {
    AItem->setData(Qt::UserRole, QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(AEntry)));
}
