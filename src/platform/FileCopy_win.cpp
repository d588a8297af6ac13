#include "platform/FileCopy.h"
#include "platform/NewFile.h"

#include "platform/Win32Text.h"

#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include <fcntl.h>
#include <io.h>

namespace orvane {

namespace {

// Files and folders alike: a folder in the way is reported as a present
// destination, and a folder as the source fails in the copy with the system's text.
bool Exists(const std::wstring& APath) {
    return GetFileAttributesW(APath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& APath) {
    const DWORD attrs = GetFileAttributesW(APath.c_str());
    return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Folder part of a file name, as the installer writes them (with "\"); empty
// for a bare name, which lives in the current folder.
std::wstring FolderOf(const std::wstring& AFile) {
    const auto pos = AFile.find_last_of(L"\\/");
    if (pos == std::wstring::npos)
        return AFile.size() >= 2 && AFile[1] == L':' ? AFile.substr(0, 2) + L"." : L"";
    if (pos == 0 || (pos == 2 && AFile[1] == L':'))
        return AFile.substr(0, pos + 1);
    return AFile.substr(0, pos);
}

} // namespace

void CopyFileNoOverwrite(const std::string& ASource, const std::string& ADest) {
    const std::wstring source = Widen(ASource);
    const std::wstring dest = Widen(ADest);
    // The installer's own texts, tested before the copy so they read the same on
    // every system and every language of Windows.
    if (!Exists(source))
        throw std::runtime_error("The specified file was not found");
    const std::wstring folder = FolderOf(dest);
    if (!folder.empty() && !IsDirectory(folder))
        throw std::runtime_error("The specified path was not found");
    if (Exists(dest))
        throw std::runtime_error("The specified file already exists");
    if (!CopyFileW(source.c_str(), dest.c_str(), TRUE))
        throw std::runtime_error(SystemErrorText(GetLastError()));
}

namespace {

// The C stream over a file handle it takes over; null (the handle closed) with
// AError set when none can be made.
std::FILE* StreamOfHandle(HANDLE AHandle, bool AAppend, std::string& AError) {
    const int LFd = _open_osfhandle(reinterpret_cast<intptr_t>(AHandle),
                                    _O_RDWR | _O_BINARY | (AAppend ? _O_APPEND : 0));
    std::FILE* LFile = LFd < 0 ? nullptr : _fdopen(LFd, AAppend ? "a+b" : "w+b");
    if (LFile == nullptr) {
        AError = "the file could not be opened for writing";
        if (LFd < 0) {
            CloseHandle(AHandle);
        } else {
            _close(LFd);
        }
    }
    return LFile;
}

} // namespace

std::FILE* OpenNewFile(const std::string& APath, bool& AExists, std::string& AError) {
    // CREATE_NEW: refused for any existing name, a link included.
    HANDLE LHandle =
        CreateFileW(Widen(APath).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (LHandle == INVALID_HANDLE_VALUE) {
        const DWORD LError = GetLastError();
        AExists = LError == ERROR_FILE_EXISTS || LError == ERROR_ALREADY_EXISTS;
        AError = SystemErrorText(LError);
        return nullptr;
    }
    std::FILE* LFile = StreamOfHandle(LHandle, false, AError);
    if (LFile == nullptr) {
        DeleteFileW(Widen(APath).c_str());
    }
    return LFile;
}

std::FILE* OpenOwnFile(const std::string& APath, std::string& AError, std::int64_t ACutTo) {
    // FILE_FLAG_OPEN_REPARSE_POINT: a link is opened as itself, then refused.
    HANDLE LHandle =
        CreateFileW(Widen(APath).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (LHandle == INVALID_HANDLE_VALUE) {
        AError = SystemErrorText(GetLastError());
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION LInfo{};
    if (!GetFileInformationByHandle(LHandle, &LInfo) ||
        (LInfo.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        LInfo.nNumberOfLinks != 1) {
        AError = "it is not a plain file of its own";
        CloseHandle(LHandle);
        return nullptr;
    }
    if (ACutTo >= 0) {
        const std::int64_t LSize =
            (static_cast<std::int64_t>(LInfo.nFileSizeHigh) << 32) | LInfo.nFileSizeLow;
        LARGE_INTEGER LAt{};
        LAt.QuadPart = ACutTo;
        if (LSize < ACutTo) {
            AError = "it is shorter than the " + std::to_string(ACutTo) + " bytes it should hold";
            CloseHandle(LHandle);
            return nullptr;
        }
        if (!SetFilePointerEx(LHandle, LAt, nullptr, FILE_BEGIN) || !SetEndOfFile(LHandle)) {
            AError = SystemErrorText(GetLastError());
            CloseHandle(LHandle);
            return nullptr;
        }
    }
    return StreamOfHandle(LHandle, true, AError);
}

void RenameNoReplace(const std::string& ASource, const std::string& ADest) {
    // Without MOVEFILE_REPLACE_EXISTING an existing name is never replaced.
    if (!MoveFileExW(Widen(ASource).c_str(), Widen(ADest).c_str(), MOVEFILE_WRITE_THROUGH)) {
        throw std::runtime_error("Cannot rename \"" + ASource + "\" to \"" + ADest + "\". " +
                                 SystemErrorText(GetLastError()));
    }
}

} // namespace orvane
