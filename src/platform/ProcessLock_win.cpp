#include "platform/ProcessLock.h"

#include "platform/Win32Text.h"

#include <windows.h>

#include <sddl.h>

#include <cstdint>
#include <vector>

namespace orvane {

TProcessLock::TProcessLock(const std::string& AName) {
    HANDLE LMutex = CreateMutexW(nullptr, FALSE, Widen(AName).c_str());
    const DWORD LError = GetLastError();
    if (LMutex == nullptr) {
        // Another account's object of that name (access denied) still means busy.
        FState = LError == ERROR_ACCESS_DENIED ? lsBusy : lsUnavailable;
        FError = AName + ": " + SystemErrorText(LError);
        return;
    }
    if (LError == ERROR_ALREADY_EXISTS) {
        CloseHandle(LMutex);
        FState = lsBusy;
        FError = AName + ": " + SystemErrorText(LError);
        return;
    }
    FHandle = LMutex;
    FState = lsHeld;
}

TProcessLock::~TProcessLock() {
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
    // "Local\": the session's namespace, so another session's user has its own.
    return "Local\\OrvaneInstaller-" + LSid;
}

} // namespace orvane
