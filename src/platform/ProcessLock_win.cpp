#include "platform/ProcessLock.h"

#include "platform/Win32Text.h"

#include <windows.h>

#include <sddl.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvane {

namespace {

// Beside the mutex, which cannot tell who owns it, the holder publishes its
// process id in a small named section of the same name's family.
std::wstring HolderSectionName(const std::string& AName) {
    return Widen(AName + "-holder");
}

long ReadHolder(const std::string& AName) {
    HANDLE LSection = OpenFileMappingW(FILE_MAP_READ, FALSE, HolderSectionName(AName).c_str());
    if (LSection == nullptr) {
        return 0;
    }
    long LPid = 0;
    if (const void* LView = MapViewOfFile(LSection, FILE_MAP_READ, 0, 0, sizeof(DWORD))) {
        LPid = static_cast<long>(*static_cast<const volatile DWORD*>(LView));
        UnmapViewOfFile(LView);
    }
    CloseHandle(LSection);
    return LPid;
}

} // namespace

TProcessLock::TProcessLock(const std::string& AName) {
    HANDLE LMutex = CreateMutexW(nullptr, FALSE, Widen(AName).c_str());
    const DWORD LError = GetLastError();
    if (LMutex == nullptr) {
        // Another account's object of that name (access denied) still means busy.
        FState = LError == ERROR_ACCESS_DENIED ? lsBusy : lsUnavailable;
        FError = AName + ": " + SystemErrorText(LError);
        if (FState == lsBusy) {
            FHolder = ReadHolder(AName);
        }
        return;
    }
    if (LError == ERROR_ALREADY_EXISTS) {
        CloseHandle(LMutex);
        FState = lsBusy;
        FError = AName + ": " + SystemErrorText(LError);
        FHolder = ReadHolder(AName);
        return;
    }
    FHandle = LMutex;
    FState = lsHeld;
    // Only a hint for the message of a second copy: the lock works without it.
    HANDLE LSection = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                         sizeof(DWORD), HolderSectionName(AName).c_str());
    if (LSection != nullptr) {
        if (void* LView = MapViewOfFile(LSection, FILE_MAP_WRITE, 0, 0, sizeof(DWORD))) {
            *static_cast<volatile DWORD*>(LView) = GetCurrentProcessId();
            UnmapViewOfFile(LView);
            FHolderSection = LSection;
        } else {
            CloseHandle(LSection);
        }
    }
}

TProcessLock::~TProcessLock() {
    if (FHolderSection != nullptr) {
        CloseHandle(static_cast<HANDLE>(FHolderSection));
    }
    if (FHandle != nullptr) {
        CloseHandle(static_cast<HANDLE>(FHandle));
    }
}

std::string StoreLockName(const std::filesystem::path&) {
    std::string LSid = "unknown";
    HANDLE LToken = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &LToken)) {
        DWORD LSize = 0;
        GetTokenInformation(LToken, TokenUser, nullptr, 0, &LSize);
        // TOKEN_USER holds pointers: keep the buffer aligned for them.
        std::vector<std::uint64_t> LBuffer(LSize / sizeof(std::uint64_t) + 1);
        LPWSTR LText = nullptr;
        if (LSize != 0 && GetTokenInformation(LToken, TokenUser, LBuffer.data(), LSize, &LSize) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(LBuffer.data())->User.Sid,
                                   &LText)) {
            LSid = Narrow(LText);
            LocalFree(LText);
        }
        CloseHandle(LToken);
    }
    // "Global\": the registry is the user's, not the session's, so the same
    // user's copies in two sessions (a second logon, a runas) must meet.
    return "Global\\OrvaneInstaller-" + LSid;
}

} // namespace orvane
