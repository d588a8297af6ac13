#pragma once

#include <rapidjson/document.h>

class QListWidgetItem;

// The version entry behind an item of TForm2::ListBox1, or null. The entry
// belongs to TForm2::FConfig and lives until the next configuration download.
const rapidjson::Value* TForm2EntryOf(const QListWidgetItem* AItem);

// Attaches AEntry to AItem for TForm2EntryOf.
void TForm2AttachEntry(QListWidgetItem* AItem, const rapidjson::Value* AEntry);
