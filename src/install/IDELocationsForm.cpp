// TForm2's directory defaults; filled in once the registry layer lands.
#include "app/Unit2.h"

void TForm2::SetDefaultIDEDir() {}

void TForm2::SetDefaultDownloadDir() {}
