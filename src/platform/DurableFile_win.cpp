#include "platform/DurableFile.h"

#include "platform/FileNames.h"
#include "platform/Win32Text.h"

#include <stdexcept>

namespace orvane {

namespace {

[[noreturn]] void Fail(const std::string& AWhat, const std::filesystem::path& AFile, DWORD AError) {
    throw std::runtime_error(AWhat + " \"" + Utf8FromPath(AFile) +
                             "\": " + SystemErrorText(AError));
}

} // namespace

void AppendDurably(const std::filesystem::path& AFile, const std::string& AText) {
    HANDLE LFile = CreateFileW(AFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (LFile == INVALID_HANDLE_VALUE) {
        Fail("Cannot open", AFile, GetLastError());
    }
    std::size_t LDone = 0;
    while (LDone < AText.size()) {
        DWORD LWritten = 0;
        if (!WriteFile(LFile, AText.data() + LDone, static_cast<DWORD>(AText.size() - LDone),
                       &LWritten, nullptr) ||
            LWritten == 0) {
            const DWORD LError = GetLastError();
            CloseHandle(LFile);
            Fail("Cannot write", AFile, LError);
        }
        LDone += LWritten;
    }
    if (!FlushFileBuffers(LFile)) {
        const DWORD LError = GetLastError();
        CloseHandle(LFile);
        Fail("Cannot flush", AFile, LError);
    }
    CloseHandle(LFile);
}

void FlushToDisk(const std::filesystem::path& AFile) {
    HANDLE LFile = CreateFileW(AFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (LFile == INVALID_HANDLE_VALUE) {
        Fail("Cannot open", AFile, GetLastError());
    }
    const BOOL LFlushed = FlushFileBuffers(LFile);
    const DWORD LError = GetLastError();
    CloseHandle(LFile);
    if (!LFlushed) {
        Fail("Cannot flush", AFile, LError);
    }
}

} // namespace orvane
