// A "Search Path" list as the registry may hold it: CleanPathList drops empty
// entries and the installer's own, and keeps every other one as written.
#include "FuzzSupport.h"

#include "registry/DelphiLibrary.h"

#include <string>

namespace {

bool IsBlank(const std::string& AText) {
    for (const char C : AText) {
        if (static_cast<unsigned char>(C) > 32) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string LList(reinterpret_cast<const char*>(AData), ASize);
    const std::string LClean = orvane::CleanPathList(LList);
    if (!LClean.empty() && LClean.back() != ';') {
        orvane::fuzz::Violated("a cleaned list does not end with ';'");
    }
    // Every kept entry is an entry of the input, in order, not the installer's
    // own and not blank.
    std::size_t LFrom = 0;
    std::size_t LStart = 0;
    while (LStart < LClean.size()) {
        const std::size_t LEnd = LClean.find(';', LStart);
        const std::string LEntry = LClean.substr(LStart, LEnd - LStart);
        if (IsBlank(LEntry) || orvane::IsInstallerPathEntry(LEntry)) {
            orvane::fuzz::Violated("kept an empty entry or one of the installer's own");
        }
        const std::size_t LAt = LList.find(LEntry, LFrom);
        if (LAt == std::string::npos) {
            orvane::fuzz::Violated("kept an entry that was not in the list");
        }
        LFrom = LAt + LEntry.size();
        LStart = LEnd + 1;
    }
    if (orvane::CleanPathList(LClean) != LClean) {
        orvane::fuzz::Violated("cleaning twice changes the list");
    }
    // A list with the framework's entry appended, as registering writes it,
    // loses that entry again when cleaned.
    if (orvane::CleanPathList(LClean + "C:\\Orvane\\22.0\\Win32\\Release\\;") != LClean) {
        orvane::fuzz::Violated("the framework's own entry survives cleaning");
    }
    return 0;
}
