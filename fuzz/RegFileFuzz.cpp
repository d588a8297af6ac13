// A .reg file: parsed, applied to a registry store of its own, and the result
// exported and read back.
#include "FuzzSupport.h"

#include "registry/RegFile.h"

#include <exception>
#include <system_error>

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string LBytes(reinterpret_cast<const char*>(AData), ASize);
    std::vector<orvane::TRegFileKey> LKeys;
    try {
        LKeys = orvane::ParseRegFile(LBytes);
    } catch (const orvane::ERegFileError&) {
        return 0;
    }
    const fs::path LStoreFile = orvane::fuzz::ScratchDir() / "registry.sqlite";
    std::error_code LIgnored;
    fs::remove(LStoreFile, LIgnored);
    {
        const auto LStore = orvane::OpenSqliteRegistryStore(LStoreFile);
        try {
            orvane::ApplyRegFile(*LStore, LKeys);
        } catch (const std::exception&) {
        }
        for (const std::string& LKey : LStore->SubKeyNames("")) {
            std::string LText;
            try {
                LText = orvane::ExportRegText(*LStore, LKey);
            } catch (const std::exception&) {
                continue;
            }
            try {
                (void)orvane::ParseRegFile(orvane::EncodeRegFileBytes(LText));
            } catch (const orvane::ERegFileError& AError) {
                orvane::fuzz::Violated(std::string("an export does not read back: ") +
                                       AError.what());
            }
        }
    }
    fs::remove(LStoreFile, LIgnored);
    return 0;
}
