#pragma once

// The folders a whole-wizard run writes to, all inside ASandbox (POSIX only):
// the download folder below its home's documents, and the two SSL libraries
// the installation copies in its "bin".
#include "support/FileText.h"

#include <cstdlib>
#include <filesystem>

inline void PrepareWizardSandbox(const std::filesystem::path& ASandbox) {
    std::filesystem::create_directories(ASandbox / "home" / "Documents");
    setenv("HOME", (ASandbox / "home").c_str(), 1);
    setenv("XDG_DOCUMENTS_DIR", (ASandbox / "home" / "Documents").c_str(), 1);
    WriteFileText(ASandbox / "bin" / "libeay32.dll", "libeay");
    WriteFileText(ASandbox / "bin" / "ssleay32.dll", "ssleay");
}
