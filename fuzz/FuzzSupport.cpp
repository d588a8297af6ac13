#include "FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace orvane::fuzz {

namespace {

struct TScratch {
    TScratch() {
        FPath = fs::temp_directory_path() / ("orvane-fuzz-" + std::to_string(getpid()));
        fs::create_directories(FPath);
    }
    ~TScratch() {
        std::error_code LIgnored;
        fs::remove_all(FPath, LIgnored);
    }
    fs::path FPath;
};

} // namespace

const fs::path& ScratchDir() {
    static TScratch LScratch;
    return LScratch.FPath;
}

void WriteBytes(const fs::path& AFile, const std::uint8_t* AData, std::size_t ASize) {
    std::ofstream LOut(AFile, std::ios::binary | std::ios::trunc);
    LOut.write(reinterpret_cast<const char*>(AData), static_cast<std::streamsize>(ASize));
    if (!LOut) {
        std::fprintf(stderr, "cannot write %s\n", AFile.c_str());
        std::abort();
    }
}

void Violated(const std::string& AWhat) {
    std::fprintf(stderr, "fuzz property violated: %s\n", AWhat.c_str());
    std::abort();
}

} // namespace orvane::fuzz
