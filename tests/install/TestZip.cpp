#include "TestZip.h"

#include <zip.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

void WriteTestZip(const fs::path& AFile, const std::vector<TTestZipEntry>& AEntries) {
    int LErrorCode = 0;
    zip_t* LZip = zip_open(AFile.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &LErrorCode);
    if (LZip == nullptr) {
        throw std::runtime_error("cannot create test zip " + AFile.string());
    }
    for (const TTestZipEntry& LEntry : AEntries) {
        zip_int64_t LIndex = -1;
        if (LEntry.UnixMode == 0 && !LEntry.Name.empty() && LEntry.Name.back() == '/') {
            LIndex = zip_dir_add(LZip, LEntry.Name.c_str(), ZIP_FL_ENC_UTF_8);
        } else {
            zip_source_t* LSource =
                zip_source_buffer(LZip, LEntry.Data.data(), LEntry.Data.size(), 0);
            LIndex = zip_file_add(LZip, LEntry.Name.c_str(), LSource,
                                  ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
            if (LIndex < 0) {
                zip_source_free(LSource);
            }
        }
        if (LIndex < 0) {
            const std::string LText = zip_strerror(LZip);
            zip_discard(LZip);
            throw std::runtime_error("cannot add " + LEntry.Name + ": " + LText);
        }
        if (LEntry.UnixMode != 0) {
            zip_file_set_external_attributes(LZip, static_cast<zip_uint64_t>(LIndex), 0,
                                             ZIP_OPSYS_UNIX, LEntry.UnixMode << 16);
        }
    }
    // The buffers are read here, so AEntries must still be alive.
    if (zip_close(LZip) != 0) {
        const std::string LText = zip_strerror(LZip);
        zip_discard(LZip);
        throw std::runtime_error("cannot write test zip: " + LText);
    }
}

std::string DirText(const fs::path& ADir) {
    return (ADir / "").string();
}

std::vector<std::string> ListTree(const fs::path& ARoot) {
    std::vector<std::string> LResult;
    if (!fs::exists(ARoot)) {
        return LResult;
    }
    for (const auto& LItem : fs::recursive_directory_iterator(ARoot)) {
        LResult.push_back(fs::relative(LItem.path(), ARoot).generic_string() +
                          (LItem.is_directory() ? "/" : ""));
    }
    std::sort(LResult.begin(), LResult.end());
    return LResult;
}
