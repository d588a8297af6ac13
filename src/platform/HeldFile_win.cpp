#include "platform/HeldFile.h"

#include "platform/Win32Text.h"

#include <stdexcept>

#include <windows.h>

namespace orvane {

THeldFile::THeldFile(const std::string& APath) : FPath(APath) {
    // Nobody may write to it while it is held; a link is opened as itself and
    // refused below.
    HANDLE LHandle =
        CreateFileW(Widen(APath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (LHandle == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("Cannot open \"" + APath +
                                 "\": " + SystemErrorText(GetLastError()));
    }
    BY_HANDLE_FILE_INFORMATION LInfo{};
    if (GetFileType(LHandle) != FILE_TYPE_DISK || !GetFileInformationByHandle(LHandle, &LInfo) ||
        (LInfo.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(LHandle);
        throw std::runtime_error("\"" + APath + "\" is not a plain file");
    }
    FHandle = reinterpret_cast<std::intptr_t>(LHandle);
    FSize = (static_cast<std::uint64_t>(LInfo.nFileSizeHigh) << 32) | LInfo.nFileSizeLow;
}

THeldFile::~THeldFile() {
    if (FHandle != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(FHandle));
    }
}

std::size_t THeldFile::ReadAt(std::uint64_t AOffset, void* AData, std::size_t ASize) const {
    OVERLAPPED LAt{};
    LAt.Offset = static_cast<DWORD>(AOffset & 0xFFFFFFFFu);
    LAt.OffsetHigh = static_cast<DWORD>(AOffset >> 32);
    const DWORD LWant = ASize > 0x40000000u ? 0x40000000u : static_cast<DWORD>(ASize);
    DWORD LRead = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(FHandle), AData, LWant, &LRead, &LAt)) {
        const DWORD LError = GetLastError();
        if (LError == ERROR_HANDLE_EOF) {
            return 0;
        }
        throw std::runtime_error("Cannot read \"" + FPath + "\": " + SystemErrorText(LError));
    }
    return LRead;
}

} // namespace orvane
