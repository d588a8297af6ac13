// TForm2's configuration download; filled in by the server layer.
#include "app/Unit2.h"

void TForm2::DownloadConfiguration() {}

void TForm2::LoadConfiguration(std::unique_ptr<rapidjson::Document> ADocument) {
    FConfig = std::move(ADocument);
}
